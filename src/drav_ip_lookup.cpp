// Reverse look-ups beside the program. The system resolver blocks for as long as the name
// servers take (seconds for the addresses of home connections), so look-ups run on a few
// worker threads and the program takes their answers when it is ready for them; an event
// descriptor tells an event loop that answers wait. The system resolver is kept, rather than
// a resolver library that speaks DNS itself, so that every source the operator's name
// service configuration lists (hosts file, DNS, directory services) still answers.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "drav_ip.h"
#include "drav_tools.h"

namespace {

// Workers at most: a resolver that hangs on one address holds one worker, and the others go
// on with the rest.
constexpr std::size_t MAX_WORKERS = 4;
// The host-name text is cut at a whole name at this length, so that a history line (with a
// name of at most 512 bytes) stays far within 2047 bytes, the longest line that readers of
// the history file format can be sure to take whole.
constexpr std::size_t HOSTNAMES_MAX = 1024;

struct ts_lookup_job {
  std::uint32_t i_ip = 0;
  std::chrono::steady_clock::time_point t_deadline;
  ts_resolver o_resolve;
};

// What the program and the workers share. A worker holds it too, so that one still inside
// the resolver when the look-ups finish touches nothing that is gone.
struct ts_lookup_shared {
  std::mutex o_mutex;
  std::condition_variable o_wake;
  std::deque<ts_lookup_job> ao_jobs;
  std::vector<ts_ip_lookup_result> ao_done;
  std::vector<bool> ab_busy;  // per worker, by its number
  std::size_t i_idle = 0;
  bool b_stop = false;
  ts_file_descriptor o_event;
};

struct ts_lookup_state {
  std::shared_ptr<ts_lookup_shared> po_shared;
  std::vector<std::thread> ao_workers;
};

ts_lookup_state go_lookup;

// A name as it may be stored: line ends, other control bytes and the separator become "?".
std::string r_dravip_clean_hostname(std::string_view name) {
  std::string clean(name);
  for (char& c : clean) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == ';') {
      c = '?';
    }
  }
  return clean;
}

// Takes the next job that is still wanted; false when the look-ups stop.
bool r_dravip_next_job(ts_lookup_shared& shared, std::size_t worker, ts_lookup_job& job) {
  std::unique_lock lock(shared.o_mutex);
  shared.ab_busy[worker] = false;
  ++shared.i_idle;
  for (;;) {
    shared.o_wake.wait(lock, [&] { return shared.b_stop || !shared.ao_jobs.empty(); });
    if (shared.b_stop) {
      return false;
    }
    job = std::move(shared.ao_jobs.front());
    shared.ao_jobs.pop_front();
    if (std::chrono::steady_clock::now() <= job.t_deadline) {
      --shared.i_idle;
      shared.ab_busy[worker] = true;
      return true;
    }
  }
}

void r_dravip_lookup_worker(std::shared_ptr<ts_lookup_shared> shared, std::size_t worker) {
  ts_lookup_job job;
  while (r_dravip_next_job(*shared, worker, job)) {
    ts_ip_lookup_result result{job.i_ip, std::nullopt};
    if (const std::optional<ts_hostent> host = job.o_resolve(job.i_ip)) {
      result.pc_hostnames = r_dravip_hostnames_text(*host);
    }
    const std::scoped_lock lock(shared->o_mutex);
    if (shared->b_stop) {
      return;
    }
    shared->ao_done.push_back(std::move(result));
    const std::uint64_t one = 1;
    // The counter cannot overflow with one per answer, and a full one is readable anyway.
    (void)::write(shared->o_event.get(), &one, sizeof one);
  }
}

// Starts one more worker, which takes no signal: the program's own thread must get them, to
// end its waits.
void r_dravip_start_worker(ts_lookup_shared& shared) {
  sigset_t every_signal;
  sigset_t previous;
  sigfillset(&every_signal);
  pthread_sigmask(SIG_BLOCK, &every_signal, &previous);
  try {
    go_lookup.ao_workers.emplace_back(r_dravip_lookup_worker, go_lookup.po_shared,
                                      go_lookup.ao_workers.size());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // No thread now: the job waits for a worker that is there, or is dropped at its deadline.
    const std::scoped_lock relock(shared.o_mutex);
    shared.ab_busy.pop_back();
  }
}

}  // namespace

std::optional<std::string> r_dravip_hostnames_text(const ts_hostent& host) {
  try {
    std::string joined;
    if (host.pc_name.size() <= HOSTNAMES_MAX) {
      joined = r_dravip_clean_hostname(host.pc_name);
      for (const std::string& alias : host.apc_aliases) {
        if (joined.size() + 1 + alias.size() > HOSTNAMES_MAX) {
          break;
        }
        joined += ';';
        joined += r_dravip_clean_hostname(alias);
      }
    }
    if (joined.empty()) {
      return std::nullopt;
    }
    return joined;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void r_dravip_lookup_init() {
  r_dravip_lookup_finish();
  go_lookup.po_shared = std::make_shared<ts_lookup_shared>();
  go_lookup.po_shared->o_event.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

void r_dravip_lookup_request(std::uint32_t ip, std::chrono::steady_clock::time_point deadline) {
  if (!go_lookup.po_shared) {
    return;
  }
  ts_lookup_shared& shared = *go_lookup.po_shared;
  std::unique_lock lock(shared.o_mutex);
  shared.ao_jobs.push_back({ip, deadline, r_dravip_current_resolver()});
  const bool start_worker =
      shared.i_idle < shared.ao_jobs.size() && go_lookup.ao_workers.size() < MAX_WORKERS;
  if (start_worker) {
    shared.ab_busy.push_back(true);
  }
  lock.unlock();
  shared.o_wake.notify_one();
  if (start_worker) {
    r_dravip_start_worker(shared);
  }
}

std::vector<ts_ip_lookup_result> r_dravip_lookup_take() {
  std::vector<ts_ip_lookup_result> results;
  if (!go_lookup.po_shared) {
    return results;
  }
  ts_lookup_shared& shared = *go_lookup.po_shared;
  std::uint64_t count = 0;
  // Emptied before the answers are taken: an answer that comes in between leaves it readable.
  (void)::read(shared.o_event.get(), &count, sizeof count);
  const std::scoped_lock lock(shared.o_mutex);
  results.swap(shared.ao_done);
  return results;
}

int r_dravip_lookup_descriptor() {
  return go_lookup.po_shared ? go_lookup.po_shared->o_event.get() : -1;
}

void r_dravip_lookup_finish() {
  if (!go_lookup.po_shared) {
    return;
  }
  ts_lookup_shared& shared = *go_lookup.po_shared;
  std::vector<bool> busy;
  {
    const std::scoped_lock lock(shared.o_mutex);
    shared.b_stop = true;
    shared.ao_jobs.clear();
    busy = shared.ab_busy;
  }
  shared.o_wake.notify_all();
  // An idle worker ends at once; one inside the resolver may take as long as the name
  // servers do, which the end of the program must not wait for.
  for (std::size_t worker = 0; worker < go_lookup.ao_workers.size(); ++worker) {
    if (busy[worker]) {
      go_lookup.ao_workers[worker].detach();
    } else {
      go_lookup.ao_workers[worker].join();
    }
  }
  go_lookup = ts_lookup_state{};
}
