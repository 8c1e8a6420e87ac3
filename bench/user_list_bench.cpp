// The user-list check of one join with 20,000 users on file: the list kept
// in memory (one stat() a join) against reading the whole file for each
// join. The last user is asked for, so a read runs through every line.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/user_list.h"

namespace {

constexpr int kUsers = 20000;

struct UserFile {
    std::string dir, path;
    UserFile() {
        char pattern[] = "/tmp/velmora-users-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/userlist.txt";
        FILE* file = fopen(path.c_str(), "w");
        for (int i = 0; i < kUsers; ++i) fprintf(file, "listener%05d, since 2023\n", i);
        fclose(file);
    }
    ~UserFile() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

void BM_user_list_kept(benchmark::State& state) {
    UserFile users;
    UserList list;
    for (auto _ : state)
        benchmark::DoNotOptimize(user_list_admits(list, users.path.c_str(), "USERID listener19999"));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_user_list_kept);

void BM_user_list_read_for_each_join(benchmark::State& state) {
    UserFile users;
    for (auto _ : state)
        benchmark::DoNotOptimize(user_list_admits(users.path.c_str(), "USERID listener19999"));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_user_list_read_for_each_join);

}  // namespace
