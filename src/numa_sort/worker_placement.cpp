#include "worker_placement.hpp"

#include <atomic>
#include <cerrno>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tfs::pool {
namespace {

// The affinity mask is first read for this many processors and doubled while
// the kernel says the mask is larger.
constexpr std::size_t kInitialMaskCpus = 1024;
constexpr std::size_t kLargestMaskCpus = std::size_t{1} << 20;
constexpr std::size_t kWordBits = sizeof(unsigned long) * 8;

pid_t this_thread_id() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

}  // namespace

std::optional<CpuMask> CpuMask::of(pid_t tid) {
    CpuMask mask;
    for (std::size_t cpus = kInitialMaskCpus; cpus <= kLargestMaskCpus; cpus *= 2) {
        mask.words_.assign(cpus / kWordBits, 0);
        if (::sched_getaffinity(tid, mask.bytes(), reinterpret_cast<cpu_set_t*>(mask.words_.data())) == 0)
            return mask;
        if (errno != EINVAL) break;
    }
    return std::nullopt;
}

std::size_t CpuMask::count() const {
    return static_cast<std::size_t>(CPU_COUNT_S(bytes(), reinterpret_cast<const cpu_set_t*>(words_.data())));
}

bool CpuMask::has(int cpu) const {
    return cpu >= 0 && static_cast<std::size_t>(cpu) < words_.size() * kWordBits &&
           CPU_ISSET_S(cpu, bytes(), reinterpret_cast<const cpu_set_t*>(words_.data()));
}

CpuMask CpuMask::without(int cpu) const {
    CpuMask out = *this;
    if (has(cpu)) CPU_CLR_S(cpu, out.bytes(), reinterpret_cast<cpu_set_t*>(out.words_.data()));
    return out;
}

bool CpuMask::apply_to(pid_t tid) const {
    return ::sched_setaffinity(tid, bytes(), reinterpret_cast<const cpu_set_t*>(words_.data())) == 0;
}

struct WorkerPlacement::Worker {
    pid_t tid;
    CpuMask home;  // where it ran when it first entered
    std::atomic<int> barred_from{-1};
    std::atomic<bool> in_arena{false};
};

// A worker's record, made on its first entry and dropped when the thread
// ends, so that no call ever names a thread id that may have been reused.
struct WorkerSeat {
    WorkerPlacement* placement = nullptr;
    std::unique_ptr<WorkerPlacement::Worker> worker;
    ~WorkerSeat() {
        if (placement != nullptr) placement->forget(worker.get());
    }
};

namespace {
thread_local WorkerSeat t_seat;
}  // namespace

WorkerPlacement::WorkerPlacement(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }

WorkerPlacement::~WorkerPlacement() { observe(false); }

void WorkerPlacement::on_scheduler_entry(bool is_worker) {
    if (!is_worker) return;
    if (t_seat.placement == nullptr) {
        std::optional<CpuMask> home = CpuMask::of(0);
        if (!home) return;
        auto worker = std::make_unique<Worker>(this_thread_id(), std::move(*home));
        const std::lock_guard lock(mutex_);
        workers_.push_back(worker.get());
        t_seat.worker = std::move(worker);
        t_seat.placement = this;
    }
    Worker& self = *t_seat.worker;
    self.in_arena.store(true, std::memory_order_relaxed);
    if (self.barred_from.exchange(-1, std::memory_order_relaxed) != -1) self.home.apply_to(0);
}

void WorkerPlacement::on_scheduler_exit(bool is_worker) {
    if (!is_worker || !t_seat.worker) return;
    Worker& self = *t_seat.worker;
    self.in_arena.store(false, std::memory_order_relaxed);
    // Barred now, on its own time, from the processor of the last job's
    // caller: the next caller there then has no call to make.
    const int cpu = last_caller_cpu_.load(std::memory_order_relaxed);
    const std::lock_guard lock(mutex_);
    bar(self, cpu, 0);
}

void WorkerPlacement::bar(Worker& worker, int cpu, pid_t tid) {
    if (cpu < 0 || worker.barred_from.load(std::memory_order_relaxed) == cpu || !worker.home.has(cpu)) return;
    const CpuMask barred = worker.home.without(cpu);
    if (barred.count() > 0 && barred.apply_to(tid)) worker.barred_from.store(cpu, std::memory_order_relaxed);
}

void WorkerPlacement::keep_off_caller() {
    const int cpu = ::sched_getcpu();
    if (cpu < 0) return;
    last_caller_cpu_.store(cpu, std::memory_order_relaxed);
    const std::lock_guard lock(mutex_);
    for (Worker* worker : workers_)
        if (!worker->in_arena.load(std::memory_order_relaxed)) bar(*worker, cpu, worker->tid);
}

void WorkerPlacement::forget(const Worker* worker) {
    const std::lock_guard lock(mutex_);
    std::erase(workers_, worker);
}

}  // namespace tfs::pool
