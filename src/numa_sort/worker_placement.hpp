#pragma once
// Keeps the pool's idle workers off the processor of the thread that wakes
// them, until they run.
//
// Some kernels pack woken threads onto processors that are already busy, so
// that a virtual machine's host may leave the others halted. A worker woken
// after a pause is then queued behind the very thread that woke it, and
// waits there for the scheduler's next tick (about 4 ms) while that thread
// runs the job alone beside an idle processor (seen on a 2-vCPU KVM guest,
// AMD Zen 4: after 20 ms idle, the worker started 3.8 ms after the job,
// queued on the caller's processor in 38 of 40 jobs). So before each job the
// workers outside the arena are barred from the caller's processor; each
// lifts its bar as soon as it enters the arena and may go anywhere from then
// on (the same guest: the worker started 0.15 ms after the job, on the other
// processor every time). A worker leaving the arena bars itself from the
// last caller's processor, so that a caller that stays where it ran makes no
// call: barring a sleeping thread took the caller 20 to 27 us there, a
// tenth of a sort of 1e6 keys of few values.

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/types.h>

namespace tfs::pool {

// A set of processors, as the kernel's affinity calls take it.
class CpuMask {
public:
    // The processors thread `tid` (0: the calling thread) may run on, or
    // nullopt where the kernel does not say.
    static std::optional<CpuMask> of(pid_t tid);

    std::size_t count() const;
    bool has(int cpu) const;
    CpuMask without(int cpu) const;
    // Lets thread `tid` run on these processors only; false where the
    // kernel refuses.
    bool apply_to(pid_t tid) const;
    bool operator==(const CpuMask&) const = default;

private:
    std::size_t bytes() const { return words_.size() * sizeof(unsigned long); }
    std::vector<unsigned long> words_;
};

class WorkerPlacement final : public tbb::task_scheduler_observer {
public:
    explicit WorkerPlacement(tbb::task_arena& arena);
    ~WorkerPlacement() override;
    WorkerPlacement(const WorkerPlacement&) = delete;
    WorkerPlacement& operator=(const WorkerPlacement&) = delete;

    // Bars every worker now outside the arena from the calling thread's
    // processor, where it has another to go to, until it next enters.
    void keep_off_caller();

    void on_scheduler_entry(bool is_worker) override;
    void on_scheduler_exit(bool is_worker) override;

    struct Worker;

private:
    friend struct WorkerSeat;
    void forget(const Worker* worker);

    // Bars `worker` (thread `tid`, 0 for the calling thread) from `cpu`
    // unless it is already, or the processor is not one of its own.
    // Requires mutex_.
    static void bar(Worker& worker, int cpu, pid_t tid);

    std::mutex mutex_;  // guards workers_ and every syscall on a worker's id
    std::vector<Worker*> workers_;
    std::atomic<int> last_caller_cpu_{-1};  // where the last job's caller ran
};

}  // namespace tfs::pool
