#include "tools/file_send.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace quarlex {

namespace {

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string BaseName(const std::string& utf8) {
  const std::u8string name = PathOf(utf8).filename().u8string();
  return std::string(reinterpret_cast<const char*>(name.data()), name.size());
}

// "1,000,000": counts the operator reads at a glance.
std::string Grouped(size_t n) {
  std::string digits = std::to_string(n);
  for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

}  // namespace

bool ReadFileForSend(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  const std::filesystem::path p = PathOf(path);
  const std::string name = BaseName(path);
  std::error_code ec;
  if (std::filesystem::is_directory(p, ec)) {
    error = name + " is a folder, not sent";
    return false;
  }
  const uintmax_t size = std::filesystem::file_size(p, ec);
  if (!ec && size > FileSendLimit) {
    error = name + " is larger than 32 MiB, not sent";
    return false;
  }
  errno = 0;
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    error = name + " cannot be read: " + (errno != 0 ? std::strerror(errno) : ec.message());
    return false;
  }
  // Read up to one byte past the limit, so a file that grew since its size was taken is caught.
  bytes.assign(ec ? FileSendLimit + 1 : static_cast<size_t>(size), 0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    error = name + " cannot be read: " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (bytes.size() > FileSendLimit || (!ec && in.peek() != std::char_traits<char>::eof())) {
    error = name + " is larger than 32 MiB, not sent";
    return false;
  }
  return true;
}

size_t FilePieceSize(uint32_t rate) {
  return std::clamp<size_t>(rate / 500, 16, 16384);
}

FileSender::FileSender(Session& session, std::function<void()> redraw)
    : session_(session), redraw_(std::move(redraw)) {}

bool FileSender::Start(SendPort* port, const std::string& name, std::vector<uint8_t> bytes, size_t piece) {
  if (Active()) {
    session_.ShowMessage("A file is being sent already", ErrorColour, 0);
    return false;
  }
  if (!session_.PortConnected || port == nullptr) {
    session_.ShowMessage("Connect first to send " + name, ErrorColour, 0);
    return false;
  }
  port_ = port;
  name_ = name;
  bytes_ = std::move(bytes);
  piece_ = std::max<size_t>(piece, 1);
  sent_ = 0;
  if (bytes_.empty()) {
    Finish("Sent " + name_ + " (0 bytes)", SuccessColour);
    return true;
  }
  session_.ShowMessage(ProgressText(), SuccessColour, 0);
  return true;
}

std::string FileSender::ProgressText() const {
  const size_t total = bytes_.size();
  const size_t percent = total == 0 ? 100 : sent_ * 100 / total;
  return "Sending " + name_ + ": " + std::to_string(percent) + "% (" + Grouped(sent_) + " of " +
         Grouped(total) + " bytes)";
}

void FileSender::Finish(const std::string& text, uint32_t rgb) {
  port_ = nullptr;
  bytes_.clear();
  bytes_.shrink_to_fit();
  if (!text.empty()) session_.ShowMessage(text, rgb, 0);
}

void FileSender::Cancel() {
  if (!Active()) return;
  const std::string text =
      "Sending " + name_ + " cancelled after " + Grouped(sent_) + " of " + Grouped(bytes_.size()) + " bytes";
  Finish(text, ErrorColour);
}

bool FileSender::WritePiece() {
  const size_t n = std::min(piece_, bytes_.size() - sent_);
  CaptureStore& store = session_.Store;
  // The ring's rules of a typed send; when they refuse, the panel already says why.
  if (!session_.MakeRoomForSend(n) || !session_.PortConnected) return false;
  const uint32_t before = store.WriteIndex();
  for (size_t i = 0; i < n; ++i) store.AppendSent(bytes_[sent_ + i]);
  session_.RecordSent(before, n);
  if (store.WriteIndex() < before) store.SearchedUpTo = 0;  // wrapped: the tick redraws again
  try {
    port_->Write(bytes_.data() + sent_, n);
  } catch (...) {
    const std::string text = "Sending " + name_ + " failed after " + Grouped(sent_) + " bytes";
    Finish(text, ErrorColour);
    store.ScrollUpdate();
    if (redraw_) redraw_();
    throw;
  }
  sent_ += n;
  return true;
}

bool FileSender::Step() {
  if (!Active()) return false;
  if (!session_.PortConnected) {
    Finish("Sending " + name_ + " stopped: the port closed after " + Grouped(sent_) + " bytes", ErrorColour);
    return false;
  }
  bool wrote = false;
  for (int i = 0; i < 4 && sent_ < bytes_.size() && port_->Pending() < piece_; ++i) {
    if (!WritePiece()) {
      Finish({}, 0);  // the panel says why the ring could not take the piece
      return false;
    }
    wrote = true;
  }
  if (wrote) {
    session_.Store.ScrollUpdate();
    if (redraw_) redraw_();
  }
  if (sent_ == bytes_.size()) {
    Finish("Sent " + name_ + " (" + Grouped(sent_) + " bytes)", SuccessColour);
    return false;
  }
  if (wrote) session_.ShowMessage(ProgressText(), SuccessColour, 0);
  return true;
}

}  // namespace quarlex
