// The event thread and the three hand-overs: receive events, dispatch order within a batch,
// Close and Open from inside a handler, a vanished device, a failing handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "serial/support/comport_fixture.h"

namespace quarlex {
namespace {

using enum TComExceptions;

using test::ComPortFakeTest;
using Strings = std::vector<std::string>;

size_t CountOf(const Strings& log, const std::string& item) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), item));
}
bool Has(const Strings& log, const std::string& item) {
  return CountOf(log, item) > 0;
}

TEST_F(ComPortFakeTest, ReceivedBytesReachOnRxCharOnTheOwnersThreadAndReadReturnsThem) {
  std::string got;
  std::thread::id handler_thread;
  port->OnRxChar = [&](TCustomComPort* sender, int32_t count) {
    handler_thread = std::this_thread::get_id();
    std::string buf(static_cast<size_t>(count), '\0');
    EXPECT_EQ(sender->Read(buf.data(), count), count);
    got += buf;
  };
  port->Open();
  line->Receive(std::string("\x00\xFFhello", 7));
  ASSERT_TRUE(owner.RunUntil([&] { return got.size() == 7; }));
  EXPECT_EQ(got, std::string("\x00\xFFhello", 7));
  EXPECT_EQ(handler_thread, std::this_thread::get_id());
  // Asking for more than is waiting returns what is there, at once.
  line->Receive("xy");
  port->OnRxChar = [&](TCustomComPort* sender, int32_t) {
    char buf[16];
    got.append(buf, static_cast<size_t>(sender->Read(buf, sizeof buf)));
  };
  ASSERT_TRUE(owner.RunUntil([&] { return got.size() == 9; }));
  EXPECT_EQ(got.substr(7), "xy");
}

TEST_F(ComPortFakeTest, ABatchRunsItsStepsInTheFixedOrder) {
  port->SetEventChar(u'z');
  TracePort();
  port->Open();
  log.clear();
  // The first batch holds only a ring; while the event thread waits for it to be handled,
  // everything else piles up into the second batch.
  line->SetModemLines(device::MS_RING_ON);
  ASSERT_TRUE(owner.WaitPending(1));
  line->Receive("a");
  line->LineError(device::CE_FRAME);
  line->SetModemLines(device::MS_CTS_ON | device::MS_DSR_ON | device::MS_RLSD_ON);
  line->Break();
  line->Receive("z");
  line->Receive(std::string(900000, 'x'));  // beyond 80% of the 1 MiB queue
  ASSERT_EQ(port->Write("!", 1), 1);
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "Rx80Full"); }));
  // The error step runs first: the receive step's queue count would consume the error word.
  const Strings expected{"Ring", "Error9", "RxChar900002", "TxEmpty", "Break",   "Ring",
                         "CTS1", "DSR1",   "RxFlag",       "RLSD1",   "Rx80Full"};
  EXPECT_EQ(log, expected);
}

TEST_F(ComPortFakeTest, HeldBytesReachTheOwnerInOneEventAheadOfTheEventThatEndedTheHold) {
  TracePort();
  port->OnRxChar = [this](TCustomComPort* sender, int32_t count) {
    std::string buf(static_cast<size_t>(count), '\0');
    buf.resize(static_cast<size_t>(sender->Read(buf.data(), count)));
    log.push_back("RxChar" + buf);
  };
  port->SetRxEventInterval(3'600'000);  // only other events end a hold
  port->Open();
  log.clear();
  line->Receive("a");
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "RxChara"); }));
  line->Receive("b");
  // Held: nothing is handed over (a short look; a hand-over would come at once).
  EXPECT_FALSE(owner.WaitPending(1, std::chrono::milliseconds(100)));
  line->Receive("c");
  line->SetModemLines(device::MS_CTS_ON);
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "CTS1"); }));
  EXPECT_EQ(log, (Strings{"RxChara", "RxCharbc", "CTS1"}));
  // Changed while open, the interval applies at once.
  port->SetRxEventInterval(0);
  line->Receive("d");
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "RxChard"); }));
  EXPECT_EQ(port->RxEventInterval(), 0);
}

TEST_F(ComPortFakeTest, AnOverflowingInputQueueIsReportedBeforeTheBytesThatArrived) {
  auto small = std::make_shared<device::FakeLine>(1024);
  device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/small", small}}));
  port->SetPort("/dev/small");
  port->Buffer().SetInputSize(1024);
  TracePort();
  port->Open();
  log.clear();
  // While the owner is busy, more arrives than the queue holds.
  small->Receive("a");
  ASSERT_TRUE(owner.WaitPending(1));
  small->Receive(std::string(4000, 'x'));
  ASSERT_TRUE(owner.RunUntil([&] { return log.size() >= 2; }));
  // The first batch's queue count already saw the overflow: the owner hears of it first.
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "Error" + std::to_string(TComErrors{ceRxOver}.Bits()));
  EXPECT_EQ(log[1], "RxChar1024");

  // An owner that does not watch errors is not told; one whose error handler closes the port
  // gets no receive step for the closed port.
  for (const bool watched : {false, true}) {
    port->Close();
    port->SetEvents(watched ? AllComEvents : TComEvents{evRxChar});
    port->OnError = [&](TCustomComPort* p, TComErrors) {
      log.push_back("Error");
      p->Close();
    };
    port->Open();
    log.clear();
    small->Receive("a");
    ASSERT_TRUE(owner.WaitPending(1));
    small->Receive(std::string(4000, 'x'));
    ASSERT_TRUE(owner.RunUntil([&] { return !log.empty(); }));
    owner.Drain();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), watched ? "Error" : "RxChar1024") << watched;
    EXPECT_EQ(CountOf(log, "RxChar1024"), watched ? 0u : 1u) << watched;
    EXPECT_EQ(CountOf(log, "Error"), watched ? 1u : 0u) << watched;
  }
}

TEST_F(ComPortFakeTest, AReceiveEventFindingNothingQueuedCallsNoHandler) {
  TComLink link;
  Trace(link);
  port->RegisterLink(&link);
  int calls = 0;
  port->OnRxChar = [&](TCustomComPort*, int32_t) { ++calls; };
  port->OnRing = [&](TCustomComPort*) { ++calls; };
  port->Open();
  line->Receive("abc");
  ASSERT_TRUE(owner.WaitPending(1));
  port->ClearBuffer(true, false);  // the bytes are gone before the batch is handled
  line->SetModemLines(device::MS_RING_ON);
  ASSERT_TRUE(owner.RunUntil([&] { return calls == 1; }));
  EXPECT_FALSE(Has(log, "link.Rx1"));
  port->UnRegisterLink(&link);
}

TEST_F(ComPortFakeTest, WindowSyncDeliversEachChangeExactlyOnce) {
  port->SetSyncMethod(smWindowSync);
  TracePort();
  port->Open();
  log.clear();
  line->SetModemLines(device::MS_RLSD_ON);
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "RLSD1"); }));
  line->SetModemLines(device::MS_RLSD_ON | device::MS_RING_ON);
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "Ring"); }));
  line->Receive("q");  // a later event: anything duplicated would have come before it
  ASSERT_TRUE(owner.RunUntil([&] { return Has(log, "RxChar1"); }));
  EXPECT_EQ(log, (Strings{"RLSD1", "Ring", "RxChar1"}));
  // Messages still queued when the port closes are dropped.
  line->Receive("r");
  ASSERT_TRUE(owner.WaitPending(1));
  port->Close();
  log.clear();
  owner.Drain();
  EXPECT_TRUE(log.empty());
}

TEST_F(ComPortFakeTest, WithoutHandOverHandlersRunOnTheEventThread) {
  TComPort bare(nullptr);  // no owner needed for smNone
  bare.SetPort("/dev/fake1");
  bare.SetSyncMethod(smNone);
  std::mutex m;
  std::condition_variable cv;
  std::thread::id where;
  int count = 0;
  bare.OnRxChar = [&](TCustomComPort* p, int32_t n) {
    char buf[8];
    p->Read(buf, n);
    std::lock_guard lock(m);
    where = std::this_thread::get_id();
    count += n;
    cv.notify_all();
  };
  bare.Open();
  line2->Receive("abc");
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return count == 3; }));
  EXPECT_NE(where, std::this_thread::get_id());
  lock.unlock();
  bare.Close();
  // A port without owner cannot hand events over.
  TComPort orphan(nullptr);
  orphan.SetPort("/dev/fake1");
  EXPECT_THROW(orphan.Open(), std::logic_error);
}

TEST_F(ComPortFakeTest, CloseFromInsideAThreadSyncHandlerCompletesAndTheNextOpenWorks) {
  TracePort();
  int received = 0;
  port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
    received += n;
    if (received == 3) p->Close();
  };
  port->Open();
  log.clear();
  line->Receive("abc");
  ASSERT_TRUE(owner.RunUntil([&] { return !port->Connected(); }));
  EXPECT_EQ(log, (Strings{"CTS0", "DSR0", "RLSD0", "BeforeClose", "AfterClose"}));
  EXPECT_FALSE(line->IsOpen());
  const auto masks = line->Recorded().masks;
  ASSERT_FALSE(masks.empty());
  EXPECT_EQ(masks.back(), 0u) << "the event mask was cleared for the waiting thread";
  // The old thread is joined before this Open; events flow again.
  port->Open();
  line->Receive("de");
  ASSERT_TRUE(owner.RunUntil([&] { return received == 5; }));
  EXPECT_TRUE(port->Connected());
}

TEST_F(ComPortFakeTest, CloseFromInsideAHandlerWithTheOtherTwoHandOvers) {
  // Window messages: the event thread is not waiting for the step, so Close waits for it.
  port->SetSyncMethod(smWindowSync);
  port->OnRxChar = [&](TCustomComPort* p, int32_t) { p->Close(); };
  port->Open();
  line->Receive("a");
  ASSERT_TRUE(owner.RunUntil([&] { return !port->Connected(); }));
  EXPECT_FALSE(line->IsOpen());

  // No hand-over: Close runs on the event thread itself, which cannot wait for itself; the next
  // Open, on the owner's thread, joins it.
  port->SetSyncMethod(smNone);
  std::mutex m;
  std::condition_variable cv;
  bool closed = false;
  port->OnRxChar = [&](TCustomComPort* p, int32_t) {
    p->Close();
    std::lock_guard lock(m);
    closed = true;
    cv.notify_all();
  };
  port->Open();
  line->Receive("b");
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return closed; }));
  }
  EXPECT_FALSE(port->Connected());
  int got = 0;
  port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
    char buf[8];
    p->Read(buf, n);
    std::lock_guard lock(m);
    got += n;
    cv.notify_all();
  };
  port->Open();
  line->Receive("cd");
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return got == 2; }));
}

TEST_F(ComPortFakeTest, ChangingThePortFromInsideAHandlerReopensOnTheNewDevice) {
  std::string got;
  port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
    std::string buf(static_cast<size_t>(n), '\0');
    p->Read(buf.data(), n);
    got += buf;
    if (got == "go") p->SetPort("/dev/fake1");  // Close and Open inside the step
  };
  port->Open();
  line->Receive("go");
  ASSERT_TRUE(owner.RunUntil([&] { return line2->IsOpen(); }));
  EXPECT_FALSE(line->IsOpen());
  line2->Receive("!");
  ASSERT_TRUE(owner.RunUntil([&] { return got == "go!"; }));
  line->Receive("ignored");  // the old line is closed: nothing from it
  port->Close();
  owner.Drain();
  EXPECT_EQ(got, "go!");
}

TEST_F(ComPortFakeTest, AVanishedDeviceDuringReadClosesThePortAndTellsTheOwner) {
  TracePort();
  port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
    std::string buf(static_cast<size_t>(n), '\0');
    p->Read(buf.data(), n);
  };
  port->Open();
  log.clear();
  line->Receive("abc");
  ASSERT_TRUE(owner.WaitPending(1));
  line->Vanish();
  ASSERT_TRUE(owner.RunUntil([&] { return owner.errors.size() == 1; }));
  EXPECT_EQ(owner.ErrorCode(0), 25);
  EXPECT_EQ(owner.ErrorText(0), "Port Disconnected");
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->Handle(), nullptr);
  // A vanished device has no lines to report: only the after-close step runs.
  EXPECT_EQ(log, (Strings{"AfterClose"}));
  port->SetPort("/dev/fake1");
  port->Open();
  EXPECT_TRUE(port->Connected());
}

TEST_F(ComPortFakeTest, AVanishedDeviceWhileIdleIsNoticedByTheEventThread) {
  port->Open();
  line->Vanish();
  ASSERT_TRUE(owner.RunUntil([&] { return owner.errors.size() == 1 && !port->Connected(); }));
  EXPECT_EQ(owner.ErrorCode(0), 25);
  port->Close();  // nothing left to close
  EXPECT_EQ(owner.errors.size(), 1u);
}

TEST_F(ComPortFakeTest, AVanishedDeviceWithWindowSyncAndWithoutHandOver) {
  port->SetSyncMethod(smWindowSync);
  port->Open();
  line->Vanish();
  ASSERT_TRUE(owner.RunUntil([&] { return owner.errors.size() == 1 && !port->Connected(); }));
  EXPECT_EQ(owner.ErrorText(0), "Port Disconnected");

  // Without hand-over the loss is still the owner's to act on: the owner keeps using the port
  // while the event thread notices it, and the port is closed on the owner's thread, never
  // under a call the owner is making (which would race on the device).
  TComPort p2(&owner);
  p2.SetPort("/dev/fake1");
  p2.SetSyncMethod(smNone);
  std::thread::id closedOn;
  p2.OnAfterClose = [&](TCustomComPort*) { closedOn = std::this_thread::get_id(); };
  p2.Open();
  line2->Vanish();
  ASSERT_TRUE(owner.RunUntil([&] {
    try {
      p2.OutputCount();
    } catch (const EComPort&) {
      // the vanished device refuses the query until the port is closed
    }
    return owner.errors.size() == 2;
  }));
  EXPECT_EQ(owner.ErrorCode(1), 25);
  EXPECT_FALSE(p2.Connected());
  EXPECT_EQ(closedOn, std::this_thread::get_id());
}

TEST_F(ComPortFakeTest, AFailingHandlerClosesThePortAsAVanishedDeviceDoesAndReachesTheOwner) {
  // The failure ends the event thread: a port left open would look connected while nothing
  // arrives. With and without hand-over it closes on the owner's thread, with one report.
  for (const TSyncMethod sync : {smThreadSync, smNone}) {
    SCOPED_TRACE(sync == smNone ? "smNone" : "smThreadSync");
    owner.errors.clear();
    std::atomic<int> calls = 0;
    std::thread::id closedOn;
    port->SetSyncMethod(sync);
    port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
      ++calls;
      std::string buf(static_cast<size_t>(n), '\0');
      p->Read(buf.data(), n);
    };
    port->OnAfterClose = [&](TCustomComPort*) { closedOn = std::this_thread::get_id(); };
    port->Open();
    line->FailNext(device::FakeCall::kStartRead, device::ErrorOf(device::ErrorKind::kOther));
    line->Receive("abc");
    ASSERT_TRUE(owner.RunUntil([&] { return owner.errors.size() == 1 && !port->Connected(); }));
    EXPECT_EQ(owner.ErrorCode(0), 3);
    EXPECT_EQ(owner.ErrorText(0).rfind("ReadFile function failed (Error: ", 0), 0u);
    EXPECT_FALSE(line->IsOpen());
    EXPECT_EQ(closedOn, std::this_thread::get_id());
    owner.Drain();
    EXPECT_EQ(owner.errors.size(), 1u) << "one failure, one report";
    // Opened again, the port receives as before.
    port->Open();
    line->Receive("d");
    ASSERT_TRUE(owner.RunUntil([&] { return calls == 2; }));
    port->Close();
    port->OnAfterClose = nullptr;
  }
}

TEST_F(ComPortFakeTest, AModemEventHandedOverJustAfterTheDeviceVanishedReportsTheLoss) {
  // The CTS step reads the lines from a device that has gone meanwhile: that failure is the
  // loss itself, reported as such, and the port closes instead of staying "connected".
  TracePort();
  port->Open();
  log.clear();
  line->SetModemLines(device::MS_CTS_ON);
  ASSERT_TRUE(owner.WaitPending(1));
  line->Vanish();
  ASSERT_TRUE(owner.RunUntil([&] { return !owner.errors.empty() && !port->Connected(); }));
  owner.Drain();
  ASSERT_EQ(owner.errors.size(), 1u);
  EXPECT_EQ(owner.ErrorCode(0), 25);
  EXPECT_EQ(owner.ErrorText(0), "Port Disconnected");
  EXPECT_FALSE(Has(log, "CTS1"));
  EXPECT_EQ(port->Handle(), nullptr);
}

TEST_F(ComPortFakeTest, LineErrorsTakenOnTheEventThreadAndByTheOwnerAtOnceAreReportedOnce) {
  // Without hand-over the error and receive steps take the device's error word on the event
  // thread while the owner asks for the errors itself: each error is seen exactly once, by one
  // of them.
  port->SetSyncMethod(smNone);
  std::atomic<int> received = 0;
  std::atomic<int> handler_seen = 0;
  port->OnRxChar = [&](TCustomComPort* p, int32_t n) {
    std::string buf(static_cast<size_t>(n), '\0');
    p->InputCount();
    received += p->Read(buf.data(), n);
  };
  port->OnError = [&](TCustomComPort*, TComErrors e) {
    if (e.Has(ceOverrun)) ++handler_seen;
  };
  port->Open();
  for (int i = 1; i <= 100; ++i) {
    line->LineError(device::CE_OVERRUN);
    line->Receive("x");
    int owner_seen = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received < i && std::chrono::steady_clock::now() < give_up)
      if (port->LastErrors().Has(ceOverrun)) ++owner_seen;
    ASSERT_EQ(received, i);
    if (port->LastErrors().Has(ceOverrun)) ++owner_seen;
    ASSERT_EQ(owner_seen + handler_seen.exchange(0), 1) << "round " << i;
  }
  port->Close();
}

TEST_F(ComPortFakeTest, TheOwnerCanRunLateAfterThePortIsGone) {
  port->OnRxChar = [&](TCustomComPort*, int32_t) { ADD_FAILURE() << "handler of a destroyed port"; };
  port->Open();
  line->Receive("abc");
  ASSERT_TRUE(owner.WaitPending(1));
  port.reset();   // Close cancels the hand-over the event thread was waiting for
  owner.Drain();  // the stale call does nothing
  EXPECT_FALSE(line->IsOpen());
}

TEST_F(ComPortFakeTest, ReceivedBytesGoToOnRxBufInsteadOfOnRxCharWhenAsked) {
  Strings got;
  port->OnRxChar = [&](TCustomComPort*, int32_t n) { got.push_back("RxChar" + std::to_string(n)); };
  port->OnRxBuf = [&](TCustomComPort*, const uint8_t* b, int32_t n) {
    got.push_back("RxBuf:" + std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(n)));
  };
  port->SetTriggersOnRxChar(false);
  port->Open();
  line->Receive("one");
  ASSERT_TRUE(owner.RunUntil([&] { return got.size() == 1; }));
  EXPECT_EQ(got, Strings{"RxBuf:one"});
  EXPECT_EQ(port->InputCount(), 0) << "the port read the bytes itself";
  port->Close();

  // A link with OnRxBuf takes the bytes even with TriggersOnRxChar set; both see one buffer.
  port->SetTriggersOnRxChar(true);
  TComLink link;
  link.OnRxBuf = [&](TCustomComPort*, const uint8_t* b, int32_t n) {
    got.push_back("link:" + std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(n)));
  };
  port->RegisterLink(&link);
  port->Open();
  line->Receive("two");
  ASSERT_TRUE(owner.RunUntil([&] { return got.size() == 3; }));
  EXPECT_EQ(got, (Strings{"RxBuf:one", "RxBuf:two", "link:two"}));
  port->Close();
  port->UnRegisterLink(&link);
  port->OnRxBuf = nullptr;

  // Not assigned: the bytes are read and dropped; OnRxChar still not called.
  port->SetTriggersOnRxChar(false);
  port->Open();
  line->Receive("three");
  ASSERT_TRUE(owner.RunUntil([&] { return port->InputCount() == 0; }));
  owner.Drain();
  EXPECT_EQ(got.size(), 3u);
}

TEST_F(ComPortFakeTest, WaitForEventWithoutAnEventThread) {
  port->SetEvents({});
  port->Open();
  TComEvents ev{evRxChar};
  port->WaitForEvent(ev, nullptr, 0);
  EXPECT_TRUE(ev.Empty());

  device::StopSignal stop;
  stop.Set();
  ev = TComEvents{evRxChar, evBreak};
  port->WaitForEvent(ev, &stop, -1);
  EXPECT_TRUE(ev.Empty());

  // A peer that keeps sending until the waiter has seen a byte (the mask is set inside the call,
  // so a byte sent before it would not count).
  std::atomic<bool> done{false};
  std::thread peer([&] {
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    while (!done) {
      line->Receive("x");
      cv.wait_for(lock, std::chrono::milliseconds(2));
    }
  });
  ev = TComEvents{evRxChar, evCTS};
  port->WaitForEvent(ev, nullptr, 10000);
  done = true;
  peer.join();
  EXPECT_EQ(ev, TComEvents{evRxChar});
  port->Close();

  port->SetEvents(AllComEvents);
  port->Open();
  try {
    port->WaitForEvent(ev, nullptr, 0);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 20);
    EXPECT_STREQ(e.what(), "Cannot wait for event if event thread is created");
  }
  // With OnException the report is made, and no event counts as occurred.
  int reports = 0;
  port->OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t,
                          const std::string&) {
    EXPECT_EQ(k, CE_ThreadCreated);
    ++reports;
  };
  ev = TComEvents{evRxChar, evBreak};
  port->WaitForEvent(ev, nullptr, 0);
  EXPECT_EQ(reports, 1);
  EXPECT_TRUE(ev.Empty());
}

}  // namespace
}  // namespace quarlex
