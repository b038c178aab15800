#include "platform/sim/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <queue>
#include <semaphore>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sim/splitmix.h"

namespace sim {
namespace {

Scheduler* g_current = nullptr;

[[noreturn]] void fatal(const std::string& what) {
  std::fprintf(stderr, "sim: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

enum class State { Ready, Running, Blocked, Sleeping, Finished };

struct SimThread {
  ThreadId id = kNoThread;
  std::string name;
  std::function<void()> body;
  std::thread host;
  std::binary_semaphore baton{0};
  State state = State::Ready;
  bool wake_pending = false;
  bool woken = false;
  bool killed = false;
  bool timed_wait = false;  // blocked with a deadline
  // Bumped whenever a wait starts or ends, so that a stale deadline entry is recognised.
  std::uint64_t wait_generation = 0;
  Irql irql = Irql::Passive;
  bool interrupts = true;
};

struct Timed {
  enum class Kind : std::uint8_t { Work, Deadline };
  VTime when;
  std::uint64_t seq;
  Kind kind;
  ThreadId thread;
  std::uint64_t generation;
};

struct Later {
  bool operator()(const Timed& a, const Timed& b) const {
    return a.when != b.when ? a.when > b.when : a.seq > b.seq;
  }
};

}  // namespace

struct Scheduler::Impl {
  explicit Impl(std::uint64_t s) : seed(s), rng(s) {}

  std::uint64_t seed;
  SplitMix64 rng;
  VTime now = 0;
  std::uint64_t next_seq = 1;
  std::priority_queue<Timed, std::vector<Timed>, Later> timed;
  std::unordered_map<WorkId, std::function<void()>> work;
  std::deque<ThreadId> ready;
  std::vector<std::unique_ptr<SimThread>> threads;
  ThreadId running = kNoThread;
  std::binary_semaphore host_baton{0};
  Irql host_irql = Irql::Passive;
  bool host_interrupts = true;
  bool in_work = false;

  // The host drives the machine only from outside simulated code.
  void require_host(const char* what) const {
    if (running != kNoThread) fatal(std::string(what) + " called from a simulated thread");
    if (in_work) fatal(std::string(what) + " called from dispatch-level work");
  }

  SimThread* thread(ThreadId id) const {
    if (id == kNoThread || id > threads.size()) return nullptr;
    return threads[id - 1].get();
  }
  SimThread* running_thread() const { return thread(running); }

  bool stale(const Timed& t) const {
    if (t.kind == Timed::Kind::Work) return work.find(t.seq) == work.end();
    const SimThread* th = thread(t.thread);
    return th == nullptr || (th->state != State::Blocked && th->state != State::Sleeping) ||
           th->wait_generation != t.generation;
  }
  void drop_stale() {
    while (!timed.empty() && stale(timed.top())) timed.pop();
  }
  bool work_due() {
    drop_stale();
    return !timed.empty() && timed.top().when <= now && timed.top().kind == Timed::Kind::Work;
  }

  // Simulated-thread side: hands the baton to the host and waits to be resumed.
  void yield(SimThread& t) {
    host_baton.release();
    t.baton.acquire();
    if (t.killed) throw ThreadKilled{};
  }

  // Host side: lets `t` run until it yields back.
  void resume(SimThread& t) {
    running = t.id;
    t.state = State::Running;
    t.baton.release();
    host_baton.acquire();
    running = kNoThread;
    if (t.state == State::Finished && t.host.joinable()) {
      t.host.join();
      t.body = nullptr;
    }
  }

  void run_work(std::function<void()>& fn) {
    struct Restore {
      Impl& impl;
      ~Restore() {
        impl.in_work = false;
        impl.host_irql = Irql::Passive;
        impl.host_interrupts = true;
      }
    } restore{*this};
    host_irql = Irql::Dispatch;
    in_work = true;
    fn();
    if (!host_interrupts) fatal("dispatch-level work returned with interrupts disabled");
    if (host_irql != Irql::Dispatch)
      fatal("dispatch-level work returned at IRQL " + std::to_string(static_cast<int>(host_irql)));
  }

  // One unit of progress, never moving time past `limit`; false when nothing can run by then.
  bool step(VTime limit) {
    for (;;) {
      drop_stale();
      if (!timed.empty() && timed.top().when <= now) {
        Timed t = timed.top();
        timed.pop();
        if (t.kind == Timed::Kind::Work) {
          auto it = work.find(t.seq);
          std::function<void()> fn = std::move(it->second);
          work.erase(it);
          run_work(fn);
          return true;
        }
        SimThread& th = *thread(t.thread);
        th.state = State::Ready;
        th.woken = false;
        ++th.wait_generation;
        ready.push_back(th.id);
        continue;
      }
      if (!ready.empty()) {
        ThreadId id = ready.front();
        ready.pop_front();
        resume(*thread(id));
        return true;
      }
      if (!timed.empty() && timed.top().when <= limit) {
        now = timed.top().when;
        continue;
      }
      return false;
    }
  }

  SimThread& require_waitable(const char* what) {
    SimThread* t = running_thread();
    if (t == nullptr) fatal(std::string(what) + " called outside a simulated thread");
    if (t->irql >= Irql::Dispatch)
      fatal(std::string(what) + " called at IRQL " + std::to_string(static_cast<int>(t->irql)) +
            " in thread '" + t->name + "'; only passive-level code may wait");
    if (!t->interrupts) fatal(std::string(what) + " called with interrupts disabled in thread '" + t->name + "'");
    if (t->killed) throw ThreadKilled{};
    return *t;
  }

  void push_deadline(SimThread& t, VTime when) {
    timed.push(Timed{when, next_seq++, Timed::Kind::Deadline, t.id, t.wait_generation});
  }

  void body_of(SimThread* t) {
    t->baton.acquire();
    if (!t->killed) {
      try {
        t->body();
      } catch (const ThreadKilled&) {
      } catch (const std::exception& e) {
        fatal("uncaught exception in simulated thread '" + t->name + "': " + e.what());
      } catch (...) {
        fatal("uncaught exception in simulated thread '" + t->name + "'");
      }
    }
    t->state = State::Finished;
    host_baton.release();
  }
};

Scheduler::Scheduler(std::uint64_t seed) : impl_(std::make_unique<Impl>(seed)) {
  if (g_current != nullptr) fatal("a second Scheduler was created while one exists");
  g_current = this;
}

Scheduler::~Scheduler() {
  if (impl_->running != kNoThread) fatal("Scheduler destroyed from inside a simulated thread");
  for (auto& t : impl_->threads) {
    t->killed = true;
    while (t->state != State::Finished) impl_->resume(*t);
  }
  g_current = nullptr;
}

Scheduler& Scheduler::current() {
  if (g_current == nullptr) fatal("no Scheduler exists");
  return *g_current;
}
bool Scheduler::exists() { return g_current != nullptr; }

VTime Scheduler::now() const { return impl_->now; }
std::uint64_t Scheduler::seed() const { return impl_->seed; }

WorkId Scheduler::at(VTime when, std::function<void()> work) {
  WorkId id = impl_->next_seq++;
  impl_->work.emplace(id, std::move(work));
  impl_->timed.push(Timed{when < impl_->now ? impl_->now : when, id, Timed::Kind::Work, kNoThread, 0});
  return id;
}

bool Scheduler::cancel(WorkId id) { return impl_->work.erase(id) != 0; }
bool Scheduler::pending(WorkId id) const { return impl_->work.count(id) != 0; }

ThreadId Scheduler::spawn(std::string name, std::function<void()> body) {
  auto t = std::make_unique<SimThread>();
  t->id = static_cast<ThreadId>(impl_->threads.size() + 1);
  t->name = std::move(name);
  t->body = std::move(body);
  SimThread* raw = t.get();
  impl_->threads.push_back(std::move(t));
  raw->host = std::thread([impl = impl_.get(), raw] { impl->body_of(raw); });
  impl_->ready.push_back(raw->id);
  return raw->id;
}

bool Scheduler::finished(ThreadId id) const {
  const SimThread* t = impl_->thread(id);
  return t == nullptr || t->state == State::Finished;
}

ThreadId Scheduler::current_thread() const { return impl_->running; }

std::string_view Scheduler::thread_name(ThreadId id) const {
  const SimThread* t = impl_->thread(id);
  return t == nullptr ? std::string_view{} : std::string_view{t->name};
}

bool Scheduler::block(std::optional<VTime> deadline) {
  SimThread& t = impl_->require_waitable("block");
  if (t.wake_pending) {
    t.wake_pending = false;
    return true;
  }
  if (deadline && *deadline <= impl_->now) return false;
  t.state = State::Blocked;
  t.woken = false;
  t.timed_wait = deadline.has_value();
  ++t.wait_generation;
  if (deadline) impl_->push_deadline(t, *deadline);
  impl_->yield(t);
  return t.woken;
}

void Scheduler::wake(ThreadId id) {
  SimThread* t = impl_->thread(id);
  if (t == nullptr || t->state == State::Finished) return;
  if (t->state == State::Blocked) {
    t->state = State::Ready;
    t->woken = true;
    ++t->wait_generation;
    impl_->ready.push_back(id);
  } else {
    t->wake_pending = true;
  }
}

void Scheduler::sleep_until(VTime when) {
  SimThread& t = impl_->require_waitable("sleep");
  if (when <= impl_->now) return;
  t.state = State::Sleeping;
  ++t.wait_generation;
  impl_->push_deadline(t, when);
  impl_->yield(t);
}

Irql Scheduler::irql() const {
  const SimThread* t = impl_->running_thread();
  return t != nullptr ? t->irql : impl_->host_irql;
}

Irql Scheduler::set_irql(Irql level) {
  SimThread* t = impl_->running_thread();
  Irql& slot = t != nullptr ? t->irql : impl_->host_irql;
  return std::exchange(slot, level);
}

bool Scheduler::interrupts_enabled() const {
  const SimThread* t = impl_->running_thread();
  return t != nullptr ? t->interrupts : impl_->host_interrupts;
}

bool Scheduler::disable_interrupts() {
  SimThread* t = impl_->running_thread();
  return std::exchange(t != nullptr ? t->interrupts : impl_->host_interrupts, false);
}

void Scheduler::restore_interrupts(bool were_enabled) {
  SimThread* t = impl_->running_thread();
  (t != nullptr ? t->interrupts : impl_->host_interrupts) = were_enabled;
}

void Scheduler::interrupt_window() {
  SimThread* t = impl_->running_thread();
  if (t == nullptr || t->killed || t->irql >= Irql::Dispatch || !t->interrupts) return;
  if (!impl_->work_due() || !impl_->rng.coin()) return;
  t->state = State::Ready;
  impl_->ready.push_front(t->id);
  impl_->yield(*t);
}

void Scheduler::run_until(VTime until) {
  impl_->require_host("run_until");
  while (impl_->step(until)) {
  }
  if (impl_->now < until) impl_->now = until;
}

bool Scheduler::run_while_not(const std::function<bool()>& done, VTime limit) {
  impl_->require_host("run_while_not");
  while (!done()) {
    if (!impl_->step(limit)) {
      if (impl_->now < limit) impl_->now = limit;
      return done();
    }
  }
  return true;
}

bool Scheduler::run_thread(std::string name, std::function<void()> body, VTime limit) {
  ThreadId id = spawn(std::move(name), std::move(body));
  return run_while_not([this, id] { return finished(id); }, limit);
}

bool Scheduler::idle() const {
  if (!impl_->ready.empty() || !impl_->work.empty()) return false;
  return std::none_of(impl_->threads.begin(), impl_->threads.end(), [](const auto& t) {
    return t->state == State::Sleeping || (t->state == State::Blocked && t->timed_wait);
  });
}

}  // namespace sim
