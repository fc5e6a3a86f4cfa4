#include "serial/comport_thread.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "serial/comport.h"
#include "serial/thread_name.h"

namespace quarlex {

struct TComThread::State {
  TCustomComPort* port = nullptr;  // used only while no stop was requested
  TComOwner* owner = nullptr;
  device::Device* dev = nullptr;
  std::shared_ptr<TPortWindow> window;
  uint64_t generation = 0;

  device::StopSignal stop;
  std::atomic<bool> stopping{false};
  std::atomic<bool> device_released{false};

  std::mutex m;
  std::condition_variable cv;
  std::thread::id running_on;  // the owner's thread while it runs a step this thread waits for
};

namespace {

using State = TComThread::State;

// One hand-over to the owner's thread. Pending until the owner's thread picks it up; the event
// thread may cancel it only while it is still pending.
struct Call {
  enum { Pending, Running, Done, Cancelled } st = Pending;
  std::exception_ptr error;
};

// Waits until the posted call finished, or cancels it when a stop arrives first. Returns false
// when the step raised.
bool WaitForCall(State& s, Call& call) {
  std::unique_lock lock(s.m);
  s.cv.wait(lock, [&] { return call.st == Call::Done || (call.st == Call::Pending && s.stopping); });
  if (call.st == Call::Pending) {
    call.st = Call::Cancelled;
    return true;
  }
  return !call.error;
}

// smThreadSync: runs `step` on the owner's thread and waits for it.
bool HandOver(const std::shared_ptr<State>& s, std::function<void()> step) {
  auto call = std::make_shared<Call>();
  s->owner->Post([s, call, step = std::move(step)] {
    {
      std::lock_guard lock(s->m);
      if (call->st != Call::Pending) return;
      call->st = Call::Running;
      s->running_on = std::this_thread::get_id();
    }
    std::exception_ptr error;
    try {
      step();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(s->m);
      call->st = Call::Done;
      call->error = error;
      s->running_on = {};
    }
    s->cv.notify_all();
    // Released first, so the event thread can end while the owner shows the failure.
    if (error) s->owner->HandleException(error);
  });
  return WaitForCall(*s, *call);
}

// smWindowSync: one message per event, in the dispatch order; each is replied to before its
// step runs, so only the delivery is waited for.
void SendEventMessages(const std::shared_ptr<State>& s, TComEvents events) {
  static constexpr TComEvent order[10] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                          evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
  for (TComEvent ev : order) {
    if (!events.Has(ev)) continue;
    const uint32_t bit = ComEventMaskBits[ev];
    auto call = std::make_shared<Call>();
    s->owner->Post([s, call, bit] {
      {
        std::lock_guard lock(s->m);
        if (call->st != Call::Pending) return;
        call->st = Call::Done;  // the reply: the sender goes on
      }
      s->cv.notify_all();
      TCustomComPort* port = s->window->Port;
      if (!port) return;
      try {
        port->PortWindowProc(bit, s->generation);
      } catch (...) {
        s->owner->HandleException(std::current_exception());
      }
    });
    WaitForCall(*s, *call);
    if (s->stopping) return;
  }
}

// Runs one batch by the port's current SyncMethod; false when a step raised. A step that raised
// ends this thread, so the port would look open while nothing arrives: it is closed on the
// owner's thread the way a vanished device is (TCustomComPort::DeviceLost), which also reports
// the failure.
bool Dispatch(const std::shared_ptr<State>& s, TComEvents events) {
  TCustomComPort* port = s->port;
  const uint64_t generation = s->generation;
  switch (port->SyncMethod()) {
    case smThreadSync:
      return HandOver(s, [port, events, generation] {
        try {
          port->RunEventHandlers(events, generation);
        } catch (...) {
          port->DeviceLost(generation, std::current_exception());
        }
      });
    case smWindowSync:
      SendEventMessages(s, events);
      return true;
    case smNone:
      try {
        port->RunEventHandlers(events, generation);
      } catch (...) {
        // Closed on the owner's thread, which may be inside a call on the device right now. A
        // port without owner has nobody to close it or show the failure: the thread just ends.
        const std::exception_ptr error = std::current_exception();
        TComOwner* owner = s->owner;
        // A hand-over cancelled by a Close meanwhile still lets the owner see the failure.
        if (owner && HandOver(s, [port, generation, error] { port->DeviceLost(generation, error); }))
          owner->Post([owner, error] { owner->HandleException(error); });
        return false;
      }
      return true;
  }
  return true;
}

// The device is gone: the port must close and say so on its owner's thread. Also with smNone,
// whose handlers run here: the owner may be inside a call on the device at this moment, and
// closing the port from this thread would pull the device from under it.
void DeviceLost(const std::shared_ptr<State>& s) {
  TCustomComPort* port = s->port;
  const uint64_t generation = s->generation;
  if (port->SyncMethod() == smNone && !s->owner) {
    // Nobody to hand the loss to: the owner's next transfer finds the device gone and closes
    // the port itself ("Port Disconnected").
    return;
  }
  if (port->SyncMethod() == smWindowSync) {
    // The window's step would close the port while this thread may still be needed to reply:
    // post it without waiting, the stop that Close sends ends this thread.
    TComOwner* owner = s->owner;
    auto window = s->window;
    owner->Post([owner, window, generation] {
      if (!window->Port) return;
      try {
        window->Port->DeviceLost(generation);
      } catch (...) {
        owner->HandleException(std::current_exception());
      }
    });
    return;
  }
  HandOver(s, [port, generation] { port->DeviceLost(generation); });
}

void Execute(const std::shared_ptr<State>& s) {
  bool clean_end = true;
  for (;;) {
    uint32_t occurred = 0;
    const device::Error e = s->dev->WaitEvents(occurred, &s->stop, -1);
    if (s->stopping) break;
    if (e) {
      if (e.kind == device::ErrorKind::kGone) {
        DeviceLost(s);
        // Whatever the owner does next, nothing more will come from this device.
        if (!s->stopping) {
          std::unique_lock lock(s->m);
          s->cv.wait(lock, [&] { return s->stopping.load(); });
        }
      }
      break;
    }
    if (occurred == 0) continue;  // the mask was changed under us; nothing happened
    if (!Dispatch(s, MaskToEvents(occurred))) {
      clean_end = false;  // a step raised: end at once, as a thread whose handler failed does
      break;
    }
    if (s->stopping) break;
  }
  if (clean_end && !s->device_released) {
    // Bytes the owner has not read are dropped with the queues: a closed port starts afresh.
    s->dev->SetEventMask(0);
    s->dev->Purge(device::PURGE_TXCLEAR | device::PURGE_RXCLEAR);
  }
}

}  // namespace

TComThread::TComThread(TCustomComPort* AComPort) : state_(std::make_shared<State>()) {
  state_->port = AComPort;
  state_->owner = AComPort->Owner();
  state_->dev = AComPort->Handle();
  state_->window = AComPort->FWindow;
  state_->generation = AComPort->Generation();
  // The mask is fixed for the thread's life; a changed Events takes effect at the next Open.
  state_->dev->SetEventMask(EventsToMask(AComPort->Events()));
  state_->dev->SetRxEventInterval(static_cast<uint32_t>(AComPort->RxEventInterval()));
  auto s = state_;
  thread_ = std::thread([s] {
    NameThisThread(thread_role::kEvents);
    Execute(s);
  });
}

TComThread::~TComThread() {
  RequestStop();
  if (!thread_.joinable()) return;
  if (CallerIsInsideDispatch())
    thread_.detach();  // it holds its own state and ends once the step returns
  else
    thread_.join();
}

void TComThread::RequestStop() {
  {
    std::lock_guard lock(state_->m);
    state_->stopping = true;
  }
  state_->cv.notify_all();
  state_->stop.Set();
}

bool TComThread::CallerIsInsideDispatch() const {
  const auto self = std::this_thread::get_id();
  if (self == thread_.get_id()) return true;
  std::lock_guard lock(state_->m);
  return state_->running_on == self;
}

void TComThread::ReleaseDevice() {
  state_->device_released = true;
}

void TComThread::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace quarlex
