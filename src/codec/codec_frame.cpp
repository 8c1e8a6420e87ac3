#include "codec/codec_frame.h"

void make_step_tables(int base, int ratio, StepTables& tables) {
    tables.steps[0] = base;
    for (int m = 0; m + 1 < kStepTableSize; ++m) {
        int next = (ratio * tables.steps[m] + 50) / 100;
        if (next == tables.steps[m] || next < 1) next = 1;
        tables.steps[m + 1] = next;
    }
    for (int m = 0; m < kStepTableSize; ++m) tables.offsets[m] = (8 * tables.steps[m] + 9) / 18;
}
