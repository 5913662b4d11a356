#include "run/memory_budget.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr uint64_t MIB = 1ull << 20;
// cgroup v1 writes "no limit" as the largest page-aligned 63-bit number;
// nothing real comes near 2^62 bytes.
constexpr uint64_t NO_LIMIT_FROM = 1ull << 62;

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<uint64_t> parse_number(std::string_view s) {
    s = trim(s);
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end == s.data()) return std::nullopt;
    return value;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t end = s.find(separator);
        parts.push_back(s.substr(0, end));
        if (end == std::string_view::npos) return parts;
        s.remove_prefix(end + 1);
    }
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view part : split(list, ',')) {
        if (part == item) return true;
    }
    return false;
}

// The value after "<key>:" (meminfo, status) or "<key> " (memory.stat), up to
// the end of its line.
std::optional<std::string_view> keyed_value(std::string_view text, std::string_view key,
                                            char separator) {
    for (std::string_view line : lines_of(text)) {
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == separator) {
            return line.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> kib_value(std::string_view text, std::string_view key) {
    const auto value = keyed_value(text, key, ':');
    if (!value) return std::nullopt;
    std::string_view v = trim(*value);
    if (v.size() >= 2 && v.substr(v.size() - 2) == "kB") v.remove_suffix(2);
    const auto kib = parse_number(v);
    if (!kib) return std::nullopt;
    return *kib * 1024;
}

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mount_field(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                                (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::optional<uint64_t> min_of(std::optional<uint64_t> a, std::optional<uint64_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

struct CgroupFiles {
    const char* limit;
    const char* usage;
    const char* active_file;
    const char* inactive_file;
};
constexpr CgroupFiles V1_FILES{"memory.limit_in_bytes", "memory.usage_in_bytes",
                               "total_active_file", "total_inactive_file"};
constexpr CgroupFiles V2_FILES{"memory.max", "memory.current", "active_file", "inactive_file"};

// The least room left at any level from the cgroup up to the top of the
// mount: a parent's limit binds its children. Page cache counts in the usage
// but the kernel reclaims it before it refuses memory, so it is left out.
std::optional<uint64_t> cgroup_room(const std::optional<CgroupMount>& mount,
                                    const std::optional<std::string>& path,
                                    const CgroupFiles& files, uint64_t own_memory) {
    if (!mount || !path) return std::nullopt;
    const auto directory = cgroup_directory(*mount, *path);
    if (!directory) return std::nullopt;
    std::optional<uint64_t> room;
    std::string dir = *directory;
    for (;;) {
        const auto limit_text = read_text(dir + "/" + files.limit);
        const auto limit = limit_text ? parse_memory_limit(*limit_text) : std::nullopt;
        if (limit) {
            const auto usage_text = read_text(dir + "/" + files.usage);
            const auto usage = usage_text ? parse_number(*usage_text) : std::nullopt;
            uint64_t used = usage.value_or(0);
            if (const auto stat = read_text(dir + "/memory.stat")) {
                const uint64_t cache = parse_memory_stat(*stat, files.active_file).value_or(0) +
                                       parse_memory_stat(*stat, files.inactive_file).value_or(0);
                used -= std::min(used, cache);
            }
            // What this process holds now is part of what it will need.
            used -= std::min(used, own_memory);
            room = min_of(room, *limit > used ? *limit - used : 0);
        }
        if (dir.size() <= mount->mount_point.size()) break;
        const std::size_t slash = dir.rfind('/');
        if (slash == std::string::npos || slash < mount->mount_point.size()) break;
        dir.resize(slash);
    }
    return room;
}

// What a process limit leaves: the limit minus what the process already
// holds of it; nothing when unlimited.
std::optional<uint64_t> rlimit_room(int resource, const std::optional<std::string>& status,
                                    std::string_view held_key) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const uint64_t held = status ? parse_status_kib(*status, held_key).value_or(0) : uint64_t{0};
    const uint64_t cap = limit.rlim_cur;
    return cap > held ? cap - held : 0;
}

uint64_t mib_up(uint64_t bytes) {
    return (bytes + MIB - 1) / MIB;
}

}  // namespace

std::optional<uint64_t> parse_meminfo_available(std::string_view meminfo) {
    const auto available = kib_value(meminfo, "MemAvailable");
    if (!available) return std::nullopt;
    return *available + kib_value(meminfo, "SwapFree").value_or(0);
}

std::optional<uint64_t> parse_status_kib(std::string_view status, std::string_view key) {
    return kib_value(status, key);
}

CgroupMembership parse_proc_cgroup(std::string_view text) {
    CgroupMembership membership;
    for (std::string_view line : lines_of(text)) {
        // hierarchy-id:controllers:path; the path itself may hold ':'.
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (id == "0" && controllers.empty()) {
            membership.v2 = path;
        } else if (has_item(controllers, "memory")) {
            membership.v1_memory = path;
        }
    }
    return membership;
}

CgroupMounts parse_cgroup_mounts(std::string_view mountinfo) {
    CgroupMounts mounts;
    for (std::string_view line : lines_of(mountinfo)) {
        // id parent major:minor root mount_point options [optional...] - type source super_options
        std::vector<std::string_view> fields;
        for (std::string_view f : split(line, ' ')) {
            if (!f.empty()) fields.push_back(f);
        }
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 2) continue;
        const std::string_view type = *(dash + 1);
        const std::string_view super_options = fields.end() - dash >= 4 ? *(dash + 3) : "";
        CgroupMount mount{unescape_mount_field(fields[3]), unescape_mount_field(fields[4])};
        if (type == "cgroup2" && !mounts.v2) {
            mounts.v2 = mount;
        } else if (type == "cgroup" && has_item(super_options, "memory") && !mounts.v1_memory) {
            mounts.v1_memory = mount;
        }
    }
    return mounts;
}

std::optional<std::string> cgroup_directory(const CgroupMount& mount, const std::string& path) {
    std::string_view root = mount.root;
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    std::string_view rest = path;
    if (root != "/") {
        if (rest.substr(0, root.size()) != root) return std::nullopt;
        rest.remove_prefix(root.size());
        if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "/a" is no root of "/ab"
    }
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest == "/") rest = {};
    return mount.mount_point + std::string(rest);
}

std::optional<uint64_t> parse_memory_limit(std::string_view text) {
    const auto value = parse_number(text);
    if (!value || *value >= NO_LIMIT_FROM) return std::nullopt;
    return value;
}

std::optional<uint64_t> parse_memory_stat(std::string_view stat, std::string_view key) {
    const auto value = keyed_value(stat, key, ' ');
    if (!value) return std::nullopt;
    return parse_number(*value);
}

MemoryBudget probe_memory_budget() {
    MemoryBudget budget;
    const auto status = read_text("/proc/self/status");
    // Anonymous pages only: the program's file pages are page cache, which
    // neither MemAvailable nor the cgroup figures below count as in use.
    const uint64_t own_memory =
        status ? parse_status_kib(*status, "RssAnon").value_or(0) : uint64_t{0};
    if (const auto meminfo = read_text("/proc/meminfo")) {
        budget.machine = parse_meminfo_available(*meminfo);
        if (budget.machine) *budget.machine += own_memory;
    }
    budget.address_space = rlimit_room(RLIMIT_AS, status, "VmSize");
    budget.data_segment = rlimit_room(RLIMIT_DATA, status, "VmData");

    const auto membership = read_text("/proc/self/cgroup");
    const auto mountinfo = read_text("/proc/self/mountinfo");
    if (membership && mountinfo) {
        const CgroupMembership m = parse_proc_cgroup(*membership);
        const CgroupMounts mounts = parse_cgroup_mounts(*mountinfo);
        budget.cgroup = min_of(cgroup_room(mounts.v1_memory, m.v1_memory, V1_FILES, own_memory),
                               cgroup_room(mounts.v2, m.v2, V2_FILES, own_memory));
    }
    return budget;
}

std::string memory_shortfall(const MemoryBudget& budget, uint64_t tile_bytes, int workers) {
    const uint64_t resident_need = tile_bytes + RESIDENT_HEADROOM;
    const uint64_t extra_threads = workers > 1 ? static_cast<uint64_t>(workers - 1) : 0;
    const uint64_t mapped_need =
        tile_bytes + ADDRESS_SPACE_HEADROOM + extra_threads * WORKER_ADDRESS_SPACE;
    struct Bound {
        const std::optional<uint64_t>& room;
        uint64_t need;
        const char* what;
    };
    const Bound bounds[] = {
        {budget.address_space, mapped_need, "the address-space limit (ulimit -v)"},
        {budget.data_segment, mapped_need, "the data-segment limit (ulimit -d)"},
        {budget.cgroup, resident_need, "the memory cgroup"},
        {budget.machine, resident_need, "the machine (available memory and free swap)"},
    };
    for (const Bound& bound : bounds) {
        if (bound.room && *bound.room < bound.need) {
            return "not enough memory for the tile: it needs " +
                   std::to_string(mib_up(bound.need)) + " MiB, " + bound.what + " leaves " +
                   std::to_string(*bound.room / MIB) + " MiB";
        }
    }
    return {};
}

void check_memory_budget(uint64_t tile_bytes, int workers) {
    const std::string refusal = memory_shortfall(probe_memory_budget(), tile_bytes, workers);
    if (!refusal.empty()) throw RunFailure(refusal);
}

}  // namespace pt
