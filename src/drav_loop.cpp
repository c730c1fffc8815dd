// The event loop, on libevent's event base: one thread waits for every descriptor, timer and
// signal of the program at once (see HACKING.md for why libevent).
#include "drav_loop.h"

#include <event2/event.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

event_base* gpc_base = nullptr;
// Depth of the callbacks running now: the loop is not driven again from inside.
int gi_running = 0;
bool gb_quit_requested = false;
void (*gpr_quit_function)() = nullptr;

// The loop is the program's spine: without it nothing can run, and nothing can be told but
// on standard error (the log is above this layer).
[[noreturn]] void r_dravloop_fail(const char* what) {
  (void)std::fprintf(stderr, "drav-logger: the event loop failed: %s\n", what);
  std::exit(1);
}

// The event base, made when first needed: the modules that register events run in tests
// without the program's start.
event_base* r_dravloop_base() {
  if (gpc_base == nullptr) {
    gpc_base = event_base_new();
    if (gpc_base == nullptr) {
      r_dravloop_fail("cannot make the event base");
    }
  }
  return gpc_base;
}

}  // namespace

void r_dravloop_init() {
  r_dravloop_finish();
  gb_quit_requested = false;
  (void)r_dravloop_base();
}

void r_dravloop_finish() {
  if (gpc_base != nullptr) {
    event_base_free(gpc_base);
    gpc_base = nullptr;
  }
  gpr_quit_function = nullptr;
}

void r_dravloop_run_once() {
  if (gi_running > 0) {
    return;
  }
  if (event_base_loop(r_dravloop_base(), EVLOOP_ONCE) < 0) {
    r_dravloop_fail("the wait for events failed");
  }
}

void r_dravloop_run_until(const std::function<bool()>& done) {
  while (!done() && !gb_quit_requested) {
    r_dravloop_run_once();
  }
}

bool r_dravloop_running() {
  return gi_running > 0;
}

void r_dravloop_request_quit() {
  gb_quit_requested = true;
  if (gpr_quit_function != nullptr) {
    gpr_quit_function();
  }
}

bool r_dravloop_quitting() {
  return gb_quit_requested;
}

void r_dravloop_set_quit_function(void (*function)()) {
  gpr_quit_function = function;
}

ts_loop_event::ts_loop_event(int descriptor, short what, ts_callback callback)
    : pc_callback(std::make_unique<ts_callback>(std::move(callback))) {
  pc_event =
      event_new(r_dravloop_base(), descriptor, what, &ts_loop_event::dispatch, pc_callback.get());
  if (pc_event == nullptr) {
    r_dravloop_fail("cannot make an event");
  }
}

ts_loop_event::ts_loop_event(ts_loop_event&& other) noexcept
    : pc_event(std::exchange(other.pc_event, nullptr)), pc_callback(std::move(other.pc_callback)) {}

ts_loop_event& ts_loop_event::operator=(ts_loop_event&& other) noexcept {
  if (this != &other) {
    reset();
    pc_event = std::exchange(other.pc_event, nullptr);
    pc_callback = std::move(other.pc_callback);
  }
  return *this;
}

ts_loop_event ts_loop_event::watch_readable(int descriptor, ts_callback callback) {
  return {descriptor, static_cast<short>(EV_READ | EV_PERSIST), std::move(callback)};
}

ts_loop_event ts_loop_event::make_timer(ts_callback callback) {
  return {-1, 0, std::move(callback)};
}

ts_loop_event ts_loop_event::watch_signal(int signal_number, ts_callback callback) {
  ts_loop_event watch(signal_number, static_cast<short>(EV_SIGNAL | EV_PERSIST),
                      std::move(callback));
  watch.arm();
  return watch;
}

void ts_loop_event::arm(std::int64_t wait_ms) {
  constexpr std::int64_t MS_PER_SECOND = 1000;
  if (pc_event == nullptr) {
    return;
  }
  if (wait_ms < 0) {
    (void)event_add(pc_event, nullptr);  // fails only for a malformed event
    return;
  }
  const timeval wait{static_cast<time_t>(wait_ms / MS_PER_SECOND),
                     static_cast<suseconds_t>(wait_ms % MS_PER_SECOND * MS_PER_SECOND)};
  (void)event_add(pc_event, &wait);
}

void ts_loop_event::dispatch(int /*descriptor*/, short what, void* self) {
  ++gi_running;
  // A copy: the callback may remove its own event.
  const ts_callback callback = *static_cast<ts_callback*>(self);
  callback(what);
  --gi_running;
}

void ts_loop_event::reset() {
  if (pc_event != nullptr) {
    event_free(pc_event);
    pc_event = nullptr;
  }
  pc_callback.reset();
}
