#pragma once
// Sending a file to the open port: the file is read whole (at most 32 MiB, the size of the
// capture), then handed to the port in pieces at the line's pace, so the window keeps receiving
// and drawing meanwhile. Each piece is recorded in the capture as sent, with its time, before it
// is written, as a typed send is; a cancel takes effect between pieces, so the capture holds
// exactly the bytes that were written. The ring's rules of typed sends hold for every piece
// (Session::MakeRoomForSend: with Autosave, unsaved bytes are saved before a piece would
// overwrite them).
// Main thread only, like the session.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/session.h"
#include "tools/send_composer.h"

namespace quarlex {

constexpr size_t FileSendLimit = size_t{32} << 20;

// Reads `path` (UTF-8) whole. False with the operator's message in `error` for a folder, a file
// over FileSendLimit, or one that cannot be read.
bool ReadFileForSend(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Bytes of one piece at `rate` bits per second: about 20 ms of the line at 10 bits a byte,
// from 16 to 16,384.
size_t FilePieceSize(uint32_t rate);

class FileSender {
 public:
  // `redraw` shows newly recorded bytes (the grid's redraw).
  FileSender(Session& session, std::function<void()> redraw);

  // Begins sending `bytes` named `name` (for messages) in pieces of `piece` bytes through
  // `port`. False, with the reason on the message panel, when no port is connected or a send
  // is under way. An empty file is sent at once (nothing to write).
  bool Start(SendPort* port, const std::string& name, std::vector<uint8_t> bytes, size_t piece);
  // One step, at the window's pace (every few milliseconds): hands the port at most four pieces
  // while its output holds less than a piece. Returns false once the send has ended (sent,
  // cancelled, refused by the ring or stopped by a closed port), with the message shown. A
  // failing write ends the send and propagates.
  bool Step();
  // Ends the send after the pieces already written. A piece the ring cannot take (an autosave
  // that failed) ends it too, with the ring's message on the panel.
  void Cancel();

  bool Active() const { return port_ != nullptr; }
  size_t Sent() const { return sent_; }
  size_t Total() const { return bytes_.size(); }
  // "Sending fw.bin: 42% (420,000 of 1,000,000 bytes)".
  std::string ProgressText() const;

 private:
  void Finish(const std::string& text, uint32_t rgb);
  bool WritePiece();

  Session& session_;
  std::function<void()> redraw_;
  SendPort* port_ = nullptr;
  std::string name_;
  std::vector<uint8_t> bytes_;
  size_t piece_ = 0;
  size_t sent_ = 0;
};

}  // namespace quarlex
