// Decimal and float columns under the number strategy: each row handed to
// the strategy as the number it is (a decimal's unscaled integer and scale,
// a float's double), its answer written back as one. The row door reads
// the same cells as Decimals and floats; the strategy gives both the same
// numbers, so the bytes written are the same.
#include "arrow/number_columns.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "arrow/c_data/decimal_texts.h"
#include "shared/masker.h"
#include "number/limits.h"
#include "number/number.h"
#include "arrow/row_pieces.h"

namespace zorva::arrow {
namespace {

// Rows per maskMany call: their inputs and answers stay in the core's own
// cache between reading, masking and writing.
constexpr std::size_t kRun = 128;
constexpr std::int64_t kPiece = 8192;

// A batch's output buffers, filled by its pieces.
struct BatchOut {
  Buffer validity;
  Buffer values;
};

class PieceMasker {
 public:
  PieceMasker(const ColumnJob& job, const NumberStrategy& strategy, const std::string& misfit,
              std::vector<BatchOut>& outs)
      : job_(job), strategy_(strategy), keyedHash_(job.column->masker->keyedHash()), misfit_(misfit), outs_(outs) {}

  // Masks the piece's rows into its batch's buffers.
  void run(RowPiece& piece) {
    BatchOut& out = outs_[piece.batch];
    const ColumnView& view = *job_.views[piece.batch];
    const ColumnType& type = view.type;
    const bool decimal = type.kind == TypeKind::Decimal;
    const std::size_t width = decimal ? static_cast<std::size_t>(type.width) : 8;
    // A decimal's value itself where it fits the strategy's short reading;
    // its str() text otherwise (as the row door reads it).
    const bool presetScale =
        type.scale <= number_detail::kMaxValueExponent && type.scale >= -number_detail::kMaxValueExponent;
    std::int64_t nulls = 0;
    for (std::int64_t from = piece.first; from < piece.last; from += static_cast<std::int64_t>(kRun)) {
      const std::int64_t to = std::min(piece.last, from + static_cast<std::int64_t>(kRun));
      std::size_t count = 0;
      for (std::int64_t r = from; r < to; ++r) {
        if (!view.valid(r)) {
          ++nulls;
          continue;
        }
        rows_[count] = r;
        NumberInput& in = inputs_[count++];
        if (!decimal) {
          // The repr as the exact float type's: left for the strategy to write.
          in = NumberInput(NumberInput::Kind::Float, nullptr, view.real(r), {});
          continue;
        }
        const std::uint8_t* bytes = view.decimalBytes(r);
        std::int64_t unscaled;
        if (presetScale && unscaled64(bytes, type.width, unscaled)) {
          number_detail::ShortValue v;
          v.negative = unscaled < 0;
          v.coefficient = magnitudeOf(unscaled);
          v.exponent = -type.scale;
          in = NumberInput::ofDecimal(v);
        } else {
          texts_[count - 1] = decimalValueString(bytes, type.width, type.scale);
          in = NumberInput(NumberInput::Kind::Decimal, nullptr, 0, texts_[count - 1]);
        }
      }
      strategy_.maskMany(keyedHash_, {inputs_, count}, answers_);
      for (std::size_t k = 0; k < count; ++k) {
        const std::int64_t r = rows_[k];
        const auto at = static_cast<std::size_t>(r);
        const NumberResult& answer = answers_[k];
        std::uint8_t* bytes = out.values.data() + at * width;
        if (decimal ? writeDecimal(answer, type, bytes) : writeFloat(answer, bytes)) {
          out.validity.data()[at >> 3] |= static_cast<std::uint8_t>(1u << (at & 7));
          continue;
        }
        ++nulls;
        const bool misfit = answer.kind != NumberResult::Kind::Fallback;
        piece.problems.push_back(
            {job_.firstRow[piece.batch] + r, job_.index, misfit, misfit ? misfit_ : std::string()});
      }
    }
    piece.nulls = nulls;
  }

 private:
  // The answer's unscaled value at the column's scale into bytes; false for
  // a fallback or a value the type cannot hold.
  static bool writeDecimal(const NumberResult& answer, const ColumnType& type, std::uint8_t* bytes) {
    if (answer.kind != NumberResult::Kind::Decimal) return false;
    if (!answer.hasNumber) return textToUnscaled(answer.text, type.precision, type.scale, type.width, bytes);
    if (answer.coefficient >> 64 == 0) {
      const std::optional<bool> fits = shortToUnscaled(static_cast<std::uint64_t>(answer.coefficient), answer.exponent,
                                                       answer.negative, type.precision, type.scale, type.width, bytes);
      if (fits) return *fits;
    }
    const Dec number{BigInt::fromU128(answer.coefficient), answer.exponent, answer.negative};
    return textToUnscaled(number.toText(), type.precision, type.scale, type.width, bytes);
  }
  static bool writeFloat(const NumberResult& answer, std::uint8_t* bytes) {
    if (answer.kind != NumberResult::Kind::Float) return false;
    std::memcpy(bytes, &answer.real, 8);
    return true;
  }

  const ColumnJob& job_;
  const NumberStrategy& strategy_;
  const KeyedHash& keyedHash_;
  const std::string& misfit_;
  std::vector<BatchOut>& outs_;
  NumberInput inputs_[kRun];
  NumberResult answers_[kRun];
  std::int64_t rows_[kRun];
  std::string texts_[kRun];
};

}  // namespace

const NumberStrategy* numberColumn(const ColumnJob& job) {
  const TypeKind kind = job.column->type.kind;
  if (kind != TypeKind::Decimal && kind != TypeKind::Float32 && kind != TypeKind::Float64) return nullptr;
  return job.column->masker->strategy().numbers();
}

void maskNumbers(ColumnJob& job, const NumberStrategy& strategy) {
  const ColumnType& type = job.column->type;
  const bool decimal = type.kind == TypeKind::Decimal;
  // A float32 column comes back as doubles, the masked values' own type.
  job.format = decimal ? decimalFormat(type) : "g";
  const std::string misfit = misfitMessage(job.format);
  const std::size_t batches = job.views.size();
  std::vector<BatchOut> outs(batches);
  for (std::size_t b = 0; b < batches; ++b) {
    const auto n = static_cast<std::size_t>(job.views[b]->length);
    outs[b].validity = Buffer((n + 7) / 8);
    // Zeroed: a null row's value is 0.
    outs[b].values = Buffer(n * (decimal ? static_cast<std::size_t>(type.width) : 8));
  }
  std::vector<RowPiece> pieces = cutPieces(job, kPiece);
  maskPieces(job, pieces, [&] { return std::make_unique<PieceMasker>(job, strategy, misfit, outs); });
  std::vector<std::int64_t> nulls(batches);
  for (const RowPiece& piece : pieces) nulls[piece.batch] += piece.nulls;
  for (std::size_t b = 0; b < batches; ++b) {
    OutArray& out = (*job.outputs)[b];
    out.length = job.views[b]->length;
    out.nullCount = nulls[b];
    out.buffers.reserve(2);
    out.buffers.push_back(nulls[b] == 0 ? Buffer() : std::move(outs[b].validity));
    out.buffers.push_back(std::move(outs[b].values));
  }
}

}  // namespace zorva::arrow
