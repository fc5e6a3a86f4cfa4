#pragma once
// Value types of the serial port component: the line-setting enumerations, the event, signal and
// error sets, and the two records the component hands to the device layer when it configures a
// port (the device control block and the time-outs record). The record layouts follow the
// classic comm API field for field, so a setting can be traced from property to device value.
// Pure data; usable from any thread.
#include <cstdint>
#include <initializer_list>

#include "serial/device/device.h"

namespace quarlex {

// Property writes apply to the device only when the value really changed: stores `value` when
// it differs and says whether it did.
template <typename T>
bool StoreChanged(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

// One byte each, ordinals in declaration order (the settings store and the text forms rely on
// the order).
enum TBaudRate : uint8_t {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TComSignal : uint8_t { csCTS, csDSR, csRing, csRLSD };
enum TComError : uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TComStateFlag : uint8_t { fCtlHold, fDsrHold, fRlsHold, fXoffHold, fXOffSent, fEof, fTxim };
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };
enum TStoreType : uint8_t { stRegistry, stIniFile };
enum TStoredProp : uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
enum TOperationKind : uint8_t { okWrite, okRead };
enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A set over an enumeration: bit n stands for ordinal n. Bits() is the stored value (the set of
// all ten events is 1023).
template <typename E, typename Store>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) bits_ = static_cast<Store>(bits_ | Bit(e));
  }
  static constexpr TSet FromBits(Store bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr Store Bits() const { return bits_; }
  constexpr bool Has(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr void Include(E e) { bits_ = static_cast<Store>(bits_ | Bit(e)); }
  constexpr void Exclude(E e) { bits_ = static_cast<Store>(bits_ & ~Bit(e)); }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr Store Bit(E e) { return static_cast<Store>(Store{1} << static_cast<int>(e)); }
  Store bits_ = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;
using TComSignals = TSet<TComSignal, uint8_t>;
using TComErrors = TSet<TComError, uint8_t>;
using TComStateFlags = TSet<TComStateFlag, uint8_t>;
using TStoredProps = TSet<TStoredProp, uint8_t>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(1023);

// Bits per second of each TBaudRate ordinal; brCustom has none of its own (0 here) and sends the
// port's CustomBaudRate instead.
inline constexpr uint32_t BaudRateValues[16] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// The records the device layer takes: the device control block (28 bytes, flags in one word)
// and the time-outs record (-1 in a setting becomes all ones there).
using TDCB = device::Dcb;
using TCommTimeouts = device::CommTimeouts;

// OS mask bit of each TComEvent ordinal.
inline constexpr uint32_t ComEventMaskBits[10] = {
    device::EV_RXCHAR, device::EV_TXEMPTY, device::EV_RXFLAG, device::EV_RING, device::EV_BREAK,
    device::EV_CTS,    device::EV_DSR,     device::EV_ERR,    device::EV_RLSD, device::EV_RX80FULL};

// TComEvents -> the mask given to the device; MaskToEvents is its exact inverse and drops mask
// bits that name no event.
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

}  // namespace quarlex
