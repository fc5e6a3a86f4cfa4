#pragma once
// TComThread: the event thread of an open port. It waits for the device's comm events and hands
// each batch to the port by the port's SyncMethod:
//  - smThreadSync: posts one call to the owner's thread and waits until it has run every step of
//    the batch; the next wait starts only afterwards.
//  - smWindowSync: posts one message per event; each is replied to before its step runs, so the
//    thread goes on at once.
//  - smNone: runs the steps itself; a vanished device is still handed to the owner's thread as
//    with smThreadSync, since the owner may be using the device when the loss is noticed.
// Every wait for the owner also ends when the thread is told to stop, so Close on the owner's
// thread never waits for a hand-over that cannot happen. A Close reached from inside a step of
// this thread (directly, or through a vanished device) cannot wait for the thread: the port then
// does the thread's ending steps itself and keeps the thread to be joined later; the thread ends as
// soon as the step returns, without touching the device again.
// An exception that leaves a step ends the thread. The port would then look open while nothing
// arrives, so it is closed on the owner's thread the way a vanished device is
// (TCustomComPort::DeviceLost), and the failure reaches the owner's HandleException there. With
// smWindowSync the thread is not involved: the failure goes to HandleException and the port
// stays open, since events keep coming.
// Created and destroyed by the port on its owner's thread.
#include <memory>
#include <thread>

#include "serial/comport_types.h"

namespace quarlex {

class TCustomComPort;

// The hidden window of smWindowSync: what messages for the port are delivered to. Close clears
// Port, so messages still queued for a closed port are dropped.
struct TPortWindow {
  TCustomComPort* Port = nullptr;
};

class TComThread {
 public:
  // Sets the device's event mask from the port's Events and starts waiting.
  explicit TComThread(TCustomComPort* AComPort);
  // Stops the thread and waits for it; a thread that cannot be waited for from here (see
  // CallerIsInsideDispatch) is left to end on its own.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void RequestStop();
  // True on the event thread itself (smNone) and on the owner's thread while it runs a step
  // this thread is waiting for (smThreadSync): waiting for the thread there would never end.
  bool CallerIsInsideDispatch() const;
  // The port ran the ending steps (mask cleared, queues purged) and is releasing the device:
  // the thread must not use it again.
  void ReleaseDevice();
  // Waits until the thread body has returned. Not from inside a dispatch.
  void Join();
  bool Joinable() const { return thread_.joinable(); }

  struct State;  // shared with the thread body, so a thread left to end on its own stays valid

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace quarlex
