#include "tools/text_export.h"

#include <cstring>
#include <utility>

#include "tools/capture_file_system.h"

namespace quarlex {

namespace {

// Bit 7 of each of the eight bytes of `x` (the first byte lowest), gathered into one byte.
uint8_t TopBits(uint64_t x) {
  return static_cast<uint8_t>(((x & 0x8080808080808080ull) * 0x0002040810204081ull) >> 56);
}

}  // namespace

CaptureCopy::CaptureCopy(bool touched)
    : bytes_(new uint8_t[CaptureSize]), sent_(new uint8_t[CaptureSize / 8]()) {
  if (touched) std::memset(bytes_.get(), 0, CaptureSize);
}

CaptureCopy::CaptureCopy(const CaptureStore& store, const SavePlan& plan) : CaptureCopy() {
  Take(store, plan);
}

void CaptureCopy::Take(const CaptureStore& store, const SavePlan& plan) {
  static_assert(AttrSent == 0x80, "the sent bit is bit 7 of the attribute byte");
  times_ = store.Times;
  uint8_t* const sent = sent_.get();
  for (int k = 0; k < plan.count; ++k) {
    const SavePiece& piece = plan.pieces[k];
    std::memcpy(bytes_.get() + piece.offset, store.CaptureBuffer + piece.offset, piece.length);
    // Whole groups of eight by eight at once; the ends of the piece byte by byte.
    const uint32_t end = piece.offset + piece.length;
    uint32_t p = piece.offset;
    for (; p < end && p % 8; ++p)
      sent[p / 8] |= static_cast<uint8_t>((store.CaptureAttributes[p] >> 7) << (p % 8));
    for (; p + 8 <= end; p += 8) {
      uint64_t word;
      std::memcpy(&word, store.CaptureAttributes + p, 8);
      sent[p / 8] = TopBits(word);
    }
    for (; p < end; ++p) sent[p / 8] |= static_cast<uint8_t>((store.CaptureAttributes[p] >> 7) << (p % 8));
  }
}

TextExporter::TextExporter(TaskQueue& owner, Session& session) : session_(session), worker_(owner) {}

bool TextExporter::Start(const SavePlan& plan, GridBase base, const std::string& port,
                         const std::string& folder, const std::string& name) {
  if (running_) return false;
  running_ = true;
  wantRoom_ = false;
  session_.ShowMessage("Exporting  " + name + "  0 %", SuccessColour, 0);
  std::shared_ptr<CaptureCopy> room = prepared_ ? std::move(prepared_) : std::make_shared<CaptureCopy>();
  room->Take(session_.Store, plan);
  std::shared_ptr<const CaptureCopy> copy = std::move(room);
  job_ = worker_.Start([this, copy, plan, base, port, folder, name](JobContext& job) -> Answer {
    capture_fs::PendingFile file;
    bool writeFailed = !file.Create(folder);
    const uint64_t total = plan.Total();
    int shown = 0;
    const bool formed =
        !writeFailed &&
        ExportTextTo(copy->Source(), plan, base, port, [&](std::string_view text, uint64_t done) {
          if (job.StopRequested()) return false;
          if (!file.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
            writeFailed = true;
            return false;
          }
          const int percent = total ? static_cast<int>(done * 100 / total) : 100;
          if (percent >= shown + ProgressStep && percent < 100) {
            shown = percent - percent % ProgressStep;
            // Reports run before the answer: never after the export's end is shown.
            job.Report([this, name, shown] {
              session_.ShowMessage("Exporting  " + name + "  " + std::to_string(shown) + " %", SuccessColour,
                                   0);
            });
          }
          return true;
        });
    End end = End::Written;
    if (writeFailed) {
      end = End::Failed;
    } else if (!formed || job.StopRequested()) {
      end = End::Cancelled;  // the temporary file goes with `file`
    } else if (!file.Finish() || !file.PublishReplacing(folder + name)) {
      end = End::Failed;
    }
    return [this, end, name, error = end == End::Failed ? file.Error() : std::string()] {
      Show(end, name, error);
    };
  });
  return true;
}

void TextExporter::Prepare() {
  wantRoom_ = true;
  if (running_ || prepared_ || preparing_) return;
  preparing_ = true;
  worker_.Start([this](JobContext&) -> Answer {
    auto room = std::make_shared<CaptureCopy>(true);
    return [this, room]() mutable {
      preparing_ = false;
      if (wantRoom_ && !running_) prepared_ = std::move(room);
    };
  });
}

void TextExporter::Unprepare() {
  wantRoom_ = false;
  prepared_.reset();
}

void TextExporter::Cancel() {
  if (running_) worker_.Stop(job_);
}

void TextExporter::Show(End end, const std::string& name, const std::string& error) {
  running_ = false;
  switch (end) {
    case End::Written:
      session_.ShowMessage("Exported  " + name, SuccessColour, 0);
      break;
    case End::Failed:
      session_.ShowMessage("Not exported: " + error, ErrorColour, 0);
      break;
    case End::Cancelled:
      session_.ShowMessage("Export cancelled, partial file removed", ErrorColour, 0);
      break;
  }
  if (Ended) Ended(end == End::Written);
}

}  // namespace quarlex
