// Layer 1 (text and address helpers, the event loop): calls nothing of the program.
// The program's one event loop: every wait (keys, resizes, signals, replies, look-ups, timers)
// is an event registered here, and the loop runs the callback of each as it comes, so that no
// wait ever holds another. Also the task type that lets a sequence of steps (a poll) wait for
// events as plain code does.
#pragma once

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

struct event;

/// Makes the loop's event base (else made at its first use) and forgets an earlier quit
/// request. Failure is fatal.
void r_dravloop_init();
/// Frees the event base; every ts_loop_event must be gone by then.
void r_dravloop_finish();
/// Waits for at least one event and runs the callbacks of those that came.
void r_dravloop_run_once();
/// Runs the loop until `done` is true (looked at before each wait) or a quit is requested.
void r_dravloop_run_until(const std::function<bool()>& done);
/// True while the loop runs callbacks: a caller inside the loop may not drive it again.
bool r_dravloop_running();
/// Asks the program to end: every wait registered with r_dravloop_set_quit_function ends at
/// once and r_dravloop_quitting is true from then on.
void r_dravloop_request_quit();
/// True once a quit was requested (until r_dravloop_init).
bool r_dravloop_quitting();
/// The function (of the link) that ends its waits when a quit is requested; null clears.
void r_dravloop_set_quit_function(void (*function)());

/// One registered event, removed from the loop when the object goes. The callback gets the
/// libevent flags of what happened (EV_READ, EV_TIMEOUT, EV_SIGNAL).
class ts_loop_event {
 public:
  using ts_callback = std::function<void(short)>;
  ts_loop_event() = default;
  ~ts_loop_event() { reset(); }
  ts_loop_event(ts_loop_event&& other) noexcept;
  ts_loop_event& operator=(ts_loop_event&& other) noexcept;
  ts_loop_event(const ts_loop_event&) = delete;
  ts_loop_event& operator=(const ts_loop_event&) = delete;

  /// Watches descriptor `descriptor` for reading once armed, until removed (fatal when it
  /// cannot be made).
  static ts_loop_event watch_readable(int descriptor, ts_callback callback);
  /// A timer, started with arm.
  static ts_loop_event make_timer(ts_callback callback);
  /// A signal's arrival, from any moment after this call.
  static ts_loop_event watch_signal(int signal_number, ts_callback callback);

  /// Starts (or restarts) the wait: a timer runs out after `wait_ms`, a watch also ends its
  /// wait then (EV_TIMEOUT) when `wait_ms` >= 0.
  void arm(std::int64_t wait_ms = -1);
  explicit operator bool() const { return pc_event != nullptr; }

 private:
  ts_loop_event(int descriptor, short what, ts_callback callback);
  static void dispatch(int descriptor, short what, void* self);
  void reset();

  event* pc_event = nullptr;
  // Held on the heap so that the event's argument stays valid when the object moves.
  std::unique_ptr<ts_callback> pc_callback;
};

/// A sequence of steps that waits for events with co_await. It starts when awaited (or with
/// start) and hands its result to the task that awaits it; destroying it destroys the steps
/// still waiting, with their waits.
template <typename Result>
class ts_task;

namespace drav_loop_detail {
template <typename Result>
struct ts_task_result {
  std::optional<Result> o_value;
  void return_value(Result value) { o_value.emplace(std::move(value)); }
  Result take() { return std::move(*o_value); }
};
template <>
struct ts_task_result<void> {
  void return_void() {}
  void take() {}
};
}  // namespace drav_loop_detail

template <typename Result>
class ts_task {
 public:
  struct promise_type : drav_loop_detail::ts_task_result<Result> {
    std::coroutine_handle<> o_continuation;
    ts_task get_return_object() {
      return ts_task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept {
      // The awaiting task goes on where it waited; a started task just stops.
      struct ts_final {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> self) noexcept {
          const std::coroutine_handle<> next = self.promise().o_continuation;
          return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
      };
      return ts_final{};
    }
    // Nothing in the steps throws but a failed allocation, which the program cannot survive.
    void unhandled_exception() noexcept { std::terminate(); }
  };

  ts_task() = default;
  ~ts_task() {
    if (o_handle) {
      o_handle.destroy();
    }
  }
  ts_task(ts_task&& other) noexcept : o_handle(std::exchange(other.o_handle, {})) {}
  ts_task& operator=(ts_task&& other) noexcept {
    if (this != &other) {
      ts_task gone(std::move(*this));
      o_handle = std::exchange(other.o_handle, {});
    }
    return *this;
  }
  ts_task(const ts_task&) = delete;
  ts_task& operator=(const ts_task&) = delete;

  /// Runs the steps up to their first wait (for a task nobody awaits).
  void start() { o_handle.resume(); }
  /// True once every step ran (false for an empty task).
  bool done() const { return o_handle && o_handle.done(); }
  explicit operator bool() const { return static_cast<bool>(o_handle); }
  /// The result of a task that is done.
  Result take() { return o_handle.promise().take(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    o_handle.promise().o_continuation = caller;
    return o_handle;
  }
  Result await_resume() { return o_handle.promise().take(); }

 private:
  explicit ts_task(std::coroutine_handle<promise_type> handle) : o_handle(handle) {}
  std::coroutine_handle<promise_type> o_handle;
};

/// Runs `task` to its end from inside the loop, driving the loop meanwhile: the synchronous
/// form of a sequence of steps, for callers outside the loop. Inside the loop (where it cannot
/// be driven again) the task is dropped unrun and the result is empty.
template <typename Result>
std::optional<Result> r_dravloop_complete(ts_task<Result> task) {
  if (r_dravloop_running()) {
    return std::nullopt;
  }
  // Started by the loop, so that every step runs where steps run in the program.
  ts_loop_event start = ts_loop_event::make_timer([&task](short) { task.start(); });
  start.arm(0);
  while (!task.done()) {
    r_dravloop_run_once();
  }
  return task.take();
}
