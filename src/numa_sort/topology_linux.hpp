#pragma once
// Linux sources of the topology query: the highest NUMA node number and the
// online logical processor count. Kept apart from the arithmetic in
// topology.cpp so that the parsers are testable alone.
//
// The node number comes from one system call, get_mempolicy with
// MPOL_F_MEMS_ALLOWED: the nodes this process may place memory on, which for
// a process outside a restricting cpuset is every node that has memory. A
// chunk of the array can only live on such a node, and inside a cpuset the
// answer follows the nodes the process actually has. The call costs about a
// quarter of a sysfs read, which formats the node list as text every time.
// Where the call is refused (a seccomp filter, a kernel with more node ids
// than the mask holds), the online-node list in sysfs answers instead.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <linux/mempolicy.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tfs::topology_linux {

// The kernel's list of online nodes, e.g. "0", "0-1" or "0,2-3".
inline constexpr const char* kOnlineNodesPath = "/sys/devices/system/node/online";

// The list is a handful of ranges; a machine would need thousands of nodes to
// fill this buffer, and a longer file reads as unparsable.
inline constexpr std::size_t kOnlineListCapacity = 4096;

// Parses a node list ("N" or "N-M" entries separated by commas, optionally
// followed by one newline) and returns its last number, which the kernel
// writes in ascending order and so is the highest node number. Returns 0 for
// an empty, malformed or out-of-range list: an unreadable topology counts as
// a single node.
constexpr std::uint32_t parse_highest_node(std::string_view list) {
    if (!list.empty() && list.back() == '\n') list.remove_suffix(1);
    if (list.empty()) return 0;

    std::uint64_t last = 0;
    bool in_number = false;  // a digit has been read since the last separator
    bool after_dash = false; // the current entry already holds a '-'
    for (const char c : list) {
        if (c >= '0' && c <= '9') {
            last = (in_number ? last * 10 : 0) + static_cast<std::uint64_t>(c - '0');
            if (last > UINT32_MAX) return 0;
            in_number = true;
        } else if ((c == '-' && !after_dash) || c == ',') {
            if (!in_number) return 0;
            after_dash = c == '-';
            in_number = false;
        } else {
            return 0;
        }
    }
    return in_number ? static_cast<std::uint32_t>(last) : 0;
}

// A node list file, opened once and read afresh by every call. pread at
// offset 0 makes sysfs generate the list anew, so each query is one system
// call that asks the kernel again, instead of a path lookup, an open, a read
// and a close (about ten times the cost). A file that cannot be opened reads
// as node 0 for the life of the process: a kernel without NUMA support does
// not gain it while running.
class NodeListFile {
public:
    explicit NodeListFile(const char* path) noexcept : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    ~NodeListFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    NodeListFile(const NodeListFile&) = delete;
    NodeListFile& operator=(const NodeListFile&) = delete;

    // The highest node number the file lists now; 0 when it cannot be read
    // or parsed.
    std::uint32_t highest_node() const noexcept {
        if (fd_ < 0) return 0;
        char buffer[kOnlineListCapacity];
        std::size_t filled = 0;
        while (filled < sizeof buffer) {
            const std::size_t wanted = sizeof buffer - filled;
            const ssize_t got = ::pread(fd_, buffer + filled, wanted, static_cast<off_t>(filled));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return 0;
            filled += static_cast<std::size_t>(got);
            // A short read is the end of the list: the kernel hands it over
            // in one piece, so asking again for the empty rest would only
            // double the cost of the query.
            if (static_cast<std::size_t>(got) < wanted) break;
        }
        if (filled == sizeof buffer) return 0;
        return parse_highest_node(std::string_view(buffer, filled));
    }

private:
    int fd_;
};

// Node ids the allowed-nodes mask holds: x86-64 kernels have at most 1024
// (NODES_SHIFT 10), and the kernel refuses a mask shorter than its own.
inline constexpr std::size_t kNodeMaskBits = 1024;
// The mask asked for first: one word covers every machine but the largest,
// and the kernel copies out and clears less (about 7% of the call here).
inline constexpr std::size_t kNodeMaskFirstBits = 64;
using NodeMaskWord = unsigned long;
inline constexpr std::size_t kNodeMaskWordBits = 8 * sizeof(NodeMaskWord);

// The highest node id set in `mask` (bit i of word i / 64 is node i); 0 for
// an empty mask, which reads as a single node like any failed query.
constexpr std::uint32_t highest_node_in(std::span<const NodeMaskWord> mask) {
    for (std::size_t word = mask.size(); word-- > 0;)
        if (mask[word] != 0)
            return static_cast<std::uint32_t>(word * kNodeMaskWordBits + kNodeMaskWordBits - 1 -
                                              static_cast<std::size_t>(__builtin_clzl(mask[word])));
    return 0;
}

// The highest node this process may allocate on, or nothing when the kernel
// refuses the question.
inline std::optional<std::uint32_t> read_highest_allowed_node() noexcept {
    // The width the kernel accepted last: a kernel with more node ids than
    // the first width refuses it once, and later calls ask at full width.
    static std::atomic<std::size_t> bits{kNodeMaskFirstBits};
    NodeMaskWord mask[kNodeMaskBits / kNodeMaskWordBits];
    std::size_t width = bits.load(std::memory_order_relaxed);
    while (::syscall(SYS_get_mempolicy, nullptr, mask, width, nullptr, MPOL_F_MEMS_ALLOWED) != 0) {
        if (errno != EINVAL || width == kNodeMaskBits) return std::nullopt;
        width = kNodeMaskBits;
        bits.store(width, std::memory_order_relaxed);
    }
    return highest_node_in(std::span<const NodeMaskWord>(mask, width / kNodeMaskWordBits));
}

// Highest NUMA node number, from the allowed-nodes mask or, where that call
// is refused, from the online list; 0 when neither answers (kernels without
// NUMA support have neither).
inline std::uint32_t read_highest_node() {
    if (const auto allowed = read_highest_allowed_node()) return *allowed;
    static const NodeListFile online(kOnlineNodesPath);
    return online.highest_node();
}

// Online logical processors, clipped to the 32-bit count the arithmetic of
// the query works in; 0 when the system does not say.
inline std::uint32_t read_processor_count() {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online <= 0) return 0;
    return online > static_cast<long>(UINT32_MAX) ? UINT32_MAX : static_cast<std::uint32_t>(online);
}

}  // namespace tfs::topology_linux
