// Text columns under a strategy of text answers without a result cache: the
// rows' texts viewed in the buffers, masked a run at a time, and each answer
// appended to its piece's data as it comes; the pieces of a batch are then
// joined into its offsets and data.
#include "arrow/text_columns.h"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "shared/masker.h"
#include "arrow/row_pieces.h"

namespace zorva::arrow {
namespace {

// Rows per maskTexts call: their views and answers stay in the core's own
// cache between reading, masking and writing.
constexpr std::size_t kRun = 128;
// Rows per pool task: a batch of up to this many rows is one piece, whose
// data becomes the batch's without a copy.
constexpr std::int64_t kPiece = 16384;
// The most text a batch of utf8 (32-bit offsets) holds.
constexpr auto kMost32 = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// What a piece wrote: its texts one after another, and where each row's
// text ends (a row without one ends where the one before it does).
struct PieceTexts {
  Buffer data;
  std::size_t size = 0;
  Vec<std::uint64_t> ends;
};

class PieceMasker {
 public:
  PieceMasker(const ColumnJob& job, std::vector<Buffer>& validity, std::vector<PieceTexts>& texts)
      : job_(job), masker_(*job.column->masker), validity_(validity), texts_(texts) {}

  void run(RowPiece& piece) {
    const ColumnView& view = *job_.views[piece.batch];
    const auto n = static_cast<std::size_t>(piece.last - piece.first);
    PieceTexts& out = texts_[piece.index];
    out.ends.resize(n);
    out.data = Buffer(n * 24, Buffer::kUninitialized);  // a first guess of the bytes per row
    std::uint8_t* bits = validity_[piece.batch].data();
    for (std::int64_t from = piece.first; from < piece.last; from += static_cast<std::int64_t>(kRun)) {
      const std::int64_t to = std::min(piece.last, from + static_cast<std::int64_t>(kRun));
      std::size_t count = 0;
      for (std::int64_t r = from; r < to; ++r)
        if (view.valid(r)) views_[count++] = view.textAt(r);
      masker_.strategy().maskTexts(masker_.keyedHash(), {views_, count}, answers_);
      std::size_t k = 0;
      for (std::int64_t r = from; r < to; ++r) {
        const auto at = static_cast<std::size_t>(r);
        if (view.valid(r)) {
          const Outcome<Text>& answer = answers_[k++];
          if (const Text* t = std::get_if<Text>(&answer)) {
            append(out, *t);
            bits[at >> 3] |= static_cast<std::uint8_t>(1u << (at & 7));
          } else {
            const zorva::Refusal* refusal = std::get_if<zorva::Refusal>(&answer);
            piece.problems.push_back(
                {job_.firstRow[piece.batch] + r, job_.index, refusal != nullptr,
                 refusal != nullptr ? std::string(refusal->message.data(), refusal->message.size()) : std::string()});
            ++piece.nulls;
          }
        } else {
          ++piece.nulls;
        }
        out.ends[at - static_cast<std::size_t>(piece.first)] = out.size;
      }
    }
  }

 private:
  static void append(PieceTexts& out, const Text& t) {
    if (out.size + t.size() > out.data.capacity())
      out.data.reallocate(std::max(2 * out.data.capacity(), out.size + t.size()), out.size);
    if (t.size() <= 64)
      copyShort(out.data.data() + out.size, t.data(), t.size());
    else
      std::memcpy(out.data.data() + out.size, t.data(), t.size());
    out.size += t.size();
  }

  const ColumnJob& job_;
  const py::Masker& masker_;
  std::vector<Buffer>& validity_;
  std::vector<PieceTexts>& texts_;
  std::string_view views_[kRun];
  Outcome<Text> answers_[kRun];
};

// The offsets of a batch's rows, from its pieces' ends.
template <class Offset>
void writeOffsets(const std::vector<PieceTexts>& texts, std::size_t first, std::size_t last, Offset* offsets) {
  offsets[0] = 0;
  std::size_t row = 0, base = 0;
  for (std::size_t p = first; p < last; ++p) {
    const PieceTexts& piece = texts[p];
    for (std::uint64_t end : piece.ends) offsets[++row] = static_cast<Offset>(base + end);
    base += piece.size;
  }
}

}  // namespace

bool textColumn(const ColumnJob& job) {
  const TypeKind kind = job.column->type.kind;
  if (kind != TypeKind::Utf8 && kind != TypeKind::LargeUtf8 && kind != TypeKind::Utf8View) return false;
  return job.column->masker->strategy().masksTexts();
}

void maskTexts(ColumnJob& job) {
  const std::size_t batches = job.views.size();
  std::vector<Buffer> validity(batches);
  for (std::size_t b = 0; b < batches; ++b)
    validity[b] = Buffer((static_cast<std::size_t>(job.views[b]->length) + 7) / 8);
  std::vector<RowPiece> pieces = cutPieces(job, kPiece);
  std::vector<PieceTexts> texts(pieces.size());
  maskPieces(job, pieces, [&] { return std::make_unique<PieceMasker>(job, validity, texts); });

  // Each batch's pieces [pieceOf[b], pieceOf[b + 1]), and whether a batch's
  // text passes 32-bit offsets: every batch of a stream has one schema, so
  // then the whole column is large_utf8.
  std::vector<std::size_t> pieceOf(batches + 1, pieces.size());
  std::vector<std::size_t> bytes(batches);
  for (std::size_t p = pieces.size(); p-- > 0;) pieceOf[pieces[p].batch] = p;
  for (const RowPiece& piece : pieces) bytes[piece.batch] += texts[piece.index].size;
  bool large = job.column->type.kind != TypeKind::Utf8;
  for (std::size_t b = 0; b < batches; ++b) large |= bytes[b] > kMost32;
  job.format.assign(1, large ? 'U' : 'u');

  for (std::size_t b = 0; b < batches; ++b) {
    const std::size_t first = pieceOf[b];
    std::size_t last = first;
    while (last < pieces.size() && pieces[last].batch == b) ++last;
    const auto n = static_cast<std::size_t>(job.views[b]->length);
    std::int64_t nulls = 0;
    for (std::size_t p = first; p < last; ++p) nulls += pieces[p].nulls;
    Buffer offsets((n + 1) * (large ? 8 : 4), Buffer::kUninitialized);
    if (large)
      writeOffsets(texts, first, last, reinterpret_cast<std::int64_t*>(offsets.data()));
    else
      writeOffsets(texts, first, last, reinterpret_cast<std::int32_t*>(offsets.data()));
    Buffer data;
    if (last - first == 1) {
      data = std::move(texts[first].data);
    } else {
      data = Buffer(bytes[b], Buffer::kUninitialized);
      std::size_t at = 0;
      for (std::size_t p = first; p < last; ++p) {
        if (texts[p].size != 0) std::memcpy(data.data() + at, texts[p].data.data(), texts[p].size);
        at += texts[p].size;
      }
    }
    data.trim(bytes[b]);
    OutArray& out = (*job.outputs)[b];
    out.length = job.views[b]->length;
    out.nullCount = nulls;
    out.buffers.reserve(3);
    out.buffers.push_back(nulls == 0 ? Buffer() : std::move(validity[b]));
    out.buffers.push_back(std::move(offsets));
    out.buffers.push_back(std::move(data));
  }
}

}  // namespace zorva::arrow
