// The memory probe's reading of the kernel's texts, taken from real machines
// (a cgroup v1 host, a cgroup v2 container), and the decision it feeds.
#include "run/memory_budget.hpp"

#include <gtest/gtest.h>

namespace pt {
namespace {

constexpr uint64_t MIB = 1ull << 20;
constexpr uint64_t GIB = 1ull << 30;

TEST(MemoryTexts, MeminfoGivesAvailableMemoryPlusFreeSwap) {
    const char* meminfo =
        "MemTotal:       24637384 kB\n"
        "MemFree:        22117180 kB\n"
        "MemAvailable:   23051468 kB\n"
        "Buffers:          123456 kB\n"
        "SwapCached:            0 kB\n"
        "SwapTotal:       2097148 kB\n"
        "SwapFree:        1048576 kB\n";
    EXPECT_EQ(parse_meminfo_available(meminfo), (23051468ull + 1048576ull) * 1024);
    // No swap lines at all: memory alone. No MemAvailable (very old kernels):
    // unknown rather than a guess from MemFree.
    EXPECT_EQ(parse_meminfo_available("MemTotal: 100 kB\nMemAvailable: 40 kB\n"), 40u * 1024);
    EXPECT_EQ(parse_meminfo_available("MemTotal: 100 kB\nMemFree: 40 kB\n"), std::nullopt);
    // A key that only starts like the one asked for does not count.
    EXPECT_EQ(parse_meminfo_available("MemAvailableX: 1 kB\n"), std::nullopt);
}

TEST(MemoryTexts, StatusSizesInBytes) {
    const char* status =
        "Name:\tprocess_tile\n"
        "VmPeak:\t  170000 kB\n"
        "VmSize:\t  163840 kB\n"
        "VmData:\t   20480 kB\n";
    EXPECT_EQ(parse_status_kib(status, "VmSize"), 163840u * 1024);
    EXPECT_EQ(parse_status_kib(status, "VmData"), 20480u * 1024);
    EXPECT_EQ(parse_status_kib(status, "VmSwap"), std::nullopt);
}

TEST(MemoryTexts, ProcCgroupV1HybridAndV2) {
    const char* hybrid =
        "9:name=systemd:/\n"
        "5:devices:/\n"
        "4:memory:/process_api/d5afbfa8\n"
        "3:cpu,cpuacct:/jobs/1\n"
        "0::/\n";
    const CgroupMembership h = parse_proc_cgroup(hybrid);
    EXPECT_EQ(h.v1_memory, "/process_api/d5afbfa8");
    EXPECT_EQ(h.v2, "/");

    const CgroupMembership v2 = parse_proc_cgroup("0::/system.slice/slurm/job_42/step_0\n");
    EXPECT_EQ(v2.v1_memory, std::nullopt);
    EXPECT_EQ(v2.v2, "/system.slice/slurm/job_42/step_0");

    // memory shares a hierarchy with another controller; a path with ':'.
    const CgroupMembership shared = parse_proc_cgroup("7:blkio,memory:/a:b\n");
    EXPECT_EQ(shared.v1_memory, "/a:b");
    EXPECT_EQ(parse_proc_cgroup("3:memoryx:/x\n").v1_memory, std::nullopt);
}

TEST(MemoryTexts, MountinfoFindsTheMemoryHierarchies) {
    const char* mountinfo =
        "23 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "35 31 0:32 /jobs /sys/fs/cgroup/mem\\040ory rw,relatime shared:9 - cgroup cgroup "
        "rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const CgroupMounts mounts = parse_cgroup_mounts(mountinfo);
    ASSERT_TRUE(mounts.v1_memory.has_value());
    EXPECT_EQ(mounts.v1_memory->root, "/jobs");
    EXPECT_EQ(mounts.v1_memory->mount_point, "/sys/fs/cgroup/mem ory");  // \040 unescaped
    ASSERT_TRUE(mounts.v2.has_value());
    EXPECT_EQ(mounts.v2->root, "/");
    EXPECT_EQ(mounts.v2->mount_point, "/sys/fs/cgroup/unified");

    const CgroupMounts none =
        parse_cgroup_mounts("32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\ngarbage\n");
    EXPECT_FALSE(none.v1_memory.has_value());
    EXPECT_FALSE(none.v2.has_value());
}

TEST(MemoryTexts, CgroupDirectoryUnderItsMount) {
    const CgroupMount host{"/", "/sys/fs/cgroup/memory"};
    EXPECT_EQ(cgroup_directory(host, "/process_api/d5"), "/sys/fs/cgroup/memory/process_api/d5");
    EXPECT_EQ(cgroup_directory(host, "/"), "/sys/fs/cgroup/memory");
    // A container sees its own cgroup as the top of the mount.
    const CgroupMount container{"/jobs/42", "/sys/fs/cgroup"};
    EXPECT_EQ(cgroup_directory(container, "/jobs/42"), "/sys/fs/cgroup");
    EXPECT_EQ(cgroup_directory(container, "/jobs/42/step"), "/sys/fs/cgroup/step");
    EXPECT_EQ(cgroup_directory(container, "/jobs/421"), std::nullopt);
    EXPECT_EQ(cgroup_directory(container, "/other"), std::nullopt);
}

TEST(MemoryTexts, LimitAndStatValues) {
    EXPECT_EQ(parse_memory_limit("629145600\n"), 629145600u);
    EXPECT_EQ(parse_memory_limit("max\n"), std::nullopt);                  // v2: none
    EXPECT_EQ(parse_memory_limit("9223372036854771712\n"), std::nullopt);  // v1: none
    EXPECT_EQ(parse_memory_limit(""), std::nullopt);

    const char* stat =
        "cache 1000\n"
        "active_file 300\n"
        "inactive_file 200\n"
        "total_active_file 3000\n"
        "total_inactive_file 2000\n";
    EXPECT_EQ(parse_memory_stat(stat, "active_file"), 300u);
    EXPECT_EQ(parse_memory_stat(stat, "total_inactive_file"), 2000u);
    EXPECT_EQ(parse_memory_stat(stat, "anon"), std::nullopt);
}

TEST(MemoryBudgetDecision, EachBoundRefusesWithItsOwnLine) {
    const uint64_t tile = 2340674336;  // last year 2020
    const uint64_t resident_need = tile + RESIDENT_HEADROOM;
    const uint64_t mapped_need = tile + ADDRESS_SPACE_HEADROOM + WORKER_ADDRESS_SPACE;  // 2 workers

    EXPECT_EQ(memory_shortfall({}, tile, 2), "");  // nothing bounded
    EXPECT_EQ(memory_shortfall({20 * GIB, 40 * GIB, 40 * GIB, 20 * GIB}, tile, 2), "");

    MemoryBudget just_enough{resident_need, mapped_need, mapped_need, resident_need};
    EXPECT_EQ(memory_shortfall(just_enough, tile, 2), "");

    MemoryBudget machine{resident_need - 1, {}, {}, {}};
    EXPECT_EQ(memory_shortfall(machine, tile, 2),
              "not enough memory for the tile: it needs 2457 MiB, the machine (available "
              "memory and free swap) leaves 2456 MiB");

    MemoryBudget cgroup{{}, {}, {}, 1 * GIB};
    EXPECT_EQ(memory_shortfall(cgroup, tile, 2),
              "not enough memory for the tile: it needs 2457 MiB, the memory cgroup leaves "
              "1024 MiB");
    // A batch job sized as the tile rounded up to MiB plus 256 MiB, less what
    // its own shell holds, still fits.
    MemoryBudget job{{}, {}, {}, 2489 * MIB - 20 * MIB};
    EXPECT_EQ(memory_shortfall(job, tile, 2), "");

    // The address-space limit also has to cover what each extra worker
    // reserves: enough for two workers, not for 16.
    MemoryBudget address{{}, mapped_need, {}, {}};
    EXPECT_EQ(memory_shortfall(address, tile, 1), "");
    EXPECT_EQ(memory_shortfall(address, tile, 2), "");
    EXPECT_EQ(memory_shortfall(address, tile, 16),
              "not enough memory for the tile: it needs 3665 MiB, the address-space limit "
              "(ulimit -v) leaves 2656 MiB");

    MemoryBudget data{{}, {}, 0, {}};
    EXPECT_NE(memory_shortfall(data, tile, 1).find("data-segment limit (ulimit -d) leaves 0 MiB"),
              std::string::npos);

    // With several bounds short, the process's own limits are named first.
    MemoryBudget all_short{0, 0, 0, 0};
    EXPECT_NE(memory_shortfall(all_short, tile, 1).find("ulimit -v"), std::string::npos);
}

TEST(MemoryBudgetDecision, ThisProcessIsNotRefusedASmallTile) {
    // The real probe on the test machine: a 1 MiB tile always fits, and the
    // probe must not report room that is not a sane number.
    const MemoryBudget budget = probe_memory_budget();
    EXPECT_EQ(memory_shortfall(budget, 1 * MIB, 1), "");
    if (budget.machine) {
        EXPECT_GT(*budget.machine, 0u);
    }
}

}  // namespace
}  // namespace pt
