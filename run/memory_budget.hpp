// What memory a run can count on, probed before the tile memory is set up:
// the machine (available memory plus free swap), the process's own limits
// (address space, data segment) and its memory cgroup. A run whose tile does
// not fit is refused up front with one line, instead of being killed by the
// kernel halfway through, or failing an allocation deep inside GDAL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tile/constants.hpp"

namespace pt {

// ---- parsing the kernel's texts (pure, for tests) ----------------------

// MemAvailable plus SwapFree of /proc/meminfo, in bytes; nothing when the
// text has no MemAvailable line.
std::optional<uint64_t> parse_meminfo_available(std::string_view meminfo);

// The "<key>:   <n> kB" line of /proc/self/status (VmSize, VmData), in bytes.
std::optional<uint64_t> parse_status_kib(std::string_view status, std::string_view key);

// The process's memory cgroup from /proc/self/cgroup: the path of the v1
// hierarchy whose controllers include "memory", and the v2 path ("0::").
struct CgroupMembership {
    std::optional<std::string> v1_memory;
    std::optional<std::string> v2;
};
CgroupMembership parse_proc_cgroup(std::string_view text);

// Where a cgroup hierarchy is mounted (from /proc/self/mountinfo): the cgroup
// path the mount shows at its top (not "/" inside a container) and the
// directory it is mounted on.
struct CgroupMount {
    std::string root;
    std::string mount_point;
};
struct CgroupMounts {
    std::optional<CgroupMount> v1_memory;
    std::optional<CgroupMount> v2;
};
CgroupMounts parse_cgroup_mounts(std::string_view mountinfo);

// The directory of cgroup `path` under `mount`; nothing when the path lies
// outside what the mount shows.
std::optional<std::string> cgroup_directory(const CgroupMount& mount, const std::string& path);

// A limit file's value: a byte count, or nothing for "max" and for v1's
// "unlimited" (a number near 2^63) and for anything unreadable.
std::optional<uint64_t> parse_memory_limit(std::string_view text);

// The "<key> <n>" line of a memory.stat text.
std::optional<uint64_t> parse_memory_stat(std::string_view stat, std::string_view key);

// ---- the budget ---------------------------------------------------------

// Bytes under each bound; nothing where there is no bound or it cannot be
// read. The limits of the process give what is left to map on top of what
// it maps now; the machine and the cgroup give what the process's whole
// resident memory may come to (its own present memory counted as its).
struct MemoryBudget {
    std::optional<uint64_t> machine;        // MemAvailable + SwapFree + own anonymous memory
    std::optional<uint64_t> address_space;  // RLIMIT_AS minus what is mapped
    std::optional<uint64_t> data_segment;   // RLIMIT_DATA minus the data in use
    std::optional<uint64_t> cgroup;         // the tightest level's limit minus the others'
                                            // use, page cache not counted
};

// Reads /proc and the cgroup files of this process.
MemoryBudget probe_memory_budget();

// The refusal line when `budget` cannot hold a tile of `tile_bytes` run by
// `workers` threads; empty when it can.
std::string memory_shortfall(const MemoryBudget& budget, uint64_t tile_bytes, int workers);

// Probes and throws RunFailure with the refusal line when the tile does not fit.
void check_memory_budget(uint64_t tile_bytes, int workers);

}  // namespace pt
