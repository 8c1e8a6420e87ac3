#pragma once
// Softening the steps the codec leaves where two 256-sample chunks meet.
// The chunks of a super-block travel in different frames and the transform
// stops at chunk edges, so each chunk is quantised on its own: where two
// meet, the decoded signal can jump by more than the input did: a click, up
// to 62 times a second at 16000 Hz. Only listeners smooth; what is sent and
// stored stays as it is.

#include <cstddef>
#include <cstdint>

// How coarsely a frame was quantised, in sample units: its finest
// quantiser step (the base) over its gain. 0 for a frame too short to hold
// a header.
float frame_sample_step(const uint8_t* frame, int length);

// Smooths the chunk edges of decoded audio in time order that starts on a
// chunk edge. `chunk_steps` holds frame_sample_step of the frame that
// carried each 256-sample chunk (count / 256 values, rounded up); a lost
// chunk has 0, and the edges next to it are left alone.
//
// At each edge the jump between the two edge samples is compared with the
// slopes on either side. The two samples move toward each other by a third
// of the excess (that much of it is, on average, the codec's: fitted on
// speech and music at the default rates), less where the chunks are as
// rough inside as at the edge (the step is then likely the signal's own),
// and never by more than a quarter of the finer frame's step: a larger
// step is the signal's, not the quantiser's.
void smooth_chunk_edges(uint8_t* samples, size_t count, const float* chunk_steps);
