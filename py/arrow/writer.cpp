// The writer of masked columns: the written type, then the buffers of every
// batch (texts in one pass over a batch's rows, other forms after each
// distinct answer's bytes are made once).
#include "arrow/writer.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "support/bytes.h"
#include "arrow/c_data/decimal_texts.h"
#include "shared/masker.h"

namespace zorva::arrow {
namespace {

using py::Input;
using py::MaskedValues;
using py::Output;
using py::PackedText;

// The written form of a column's masked values.
enum class Written : std::uint8_t { Null, Bool, Int, Float, Decimal, Text, DecimalText };

// What a position holds: a value, a null, or a problem (the strategy's, or a
// masked value that the column's type cannot hold).
enum State : std::uint8_t { kNull, kValue, kProblem, kMisfit };

// The kind of output a written form takes.
Output::Kind valueKind(Written w) {
  switch (w) {
    case Written::Int: return Output::Kind::Int;
    case Written::Float: return Output::Kind::Float;
    case Written::Decimal:
    case Written::DecimalText: return Output::Kind::Decimal;
    case Written::Text: return Output::Kind::Str;
    default: return Output::Kind::None;
  }
}

std::string intFormat(TypeKind kind, int width) {
  static constexpr const char* kSigned[] = {"c", "s", "", "i", "", "", "", "l"};
  static constexpr const char* kUnsigned[] = {"C", "S", "", "I", "", "", "", "L"};
  return (kind == TypeKind::UInt ? kUnsigned : kSigned)[width - 1];
}

}  // namespace

std::string decimalFormat(const ColumnType& type) {
  std::string out = "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale);
  if (type.width != 16) out += "," + std::to_string(type.width * 8);
  return out;
}

std::string misfitMessage(const std::string& format) {
  return "the masked value does not fit the column's Arrow type '" + format + "'";
}

namespace {

// One batch's first pass, for the forms other than texts: which rows hold a
// value.
struct Scan {
  Buffer validity;
  std::int64_t nulls = 0;
};

bool bitAt(const std::uint8_t* bits, std::size_t r) noexcept { return ((bits[r >> 3] >> (r & 7)) & 1) != 0; }

class ColumnWriter {
 public:
  ColumnWriter(ColumnJob& job, const MaskedValues& masked) : job_(job), masked_(masked) {}

  void run() {
    chooseForm();
    const bool dictionary = job_.column->type.kind == TypeKind::Dictionary;
    const Written form = dictionary ? dictionaryForm_ : form_;
    prepare(form);
    if (text_) {
      // utf8 offsets are 32-bit: a batch whose masked texts pass 2 GiB makes
      // the whole column large_utf8 (every batch of a stream has one
      // schema), written again from the start.
      if (!writeTexts(formFormat_ == "U")) {
        job_.problems.clear();
        formFormat_ = "U";
        (dictionary ? job_.dictionaryFormat : job_.format) = "U";
        writeTexts(true);
      }
      return;
    }
    const std::size_t batches = job_.views.size();
    std::vector<Scan> scans(batches);
    std::int64_t position = 0;
    for (std::size_t b = 0; b < batches; ++b) {
      const std::int64_t count = source(*job_.views[b]).length;
      // A dictionary's problems are its rows', found through the indices.
      scans[b] = scan(position, count, dictionary ? -1 : job_.firstRow[b]);
      position += count;
    }
    position = 0;
    for (std::size_t b = 0; b < batches; ++b) {
      const ColumnView& view = *job_.views[b];
      OutArray& out = (*job_.outputs)[b];
      const std::int64_t count = source(view).length;
      place(write(position, count, form, scans[b]), view, position, b, out);
      position += count;
    }
  }

 private:
  // The written form: the kind of the first masked value, else the type's own.
  void chooseForm() {
    const ColumnType& type = job_.column->type;
    const TypeKind kind = type.kind == TypeKind::Dictionary ? type.valueKind : type.kind;
    Output::Kind first = Output::Kind::None;
    for (const Output& answer : masked_.answers) {
      if (answer.kind() != Output::Kind::None && !answer.isProblem()) {
        first = answer.kind();
        break;
      }
    }
    if (first == Output::Kind::None) first = probeKind(kind);
    Written form;
    switch (first) {
      case Output::Kind::Int: form = Written::Int; break;
      case Output::Kind::Float: form = Written::Float; break;
      case Output::Kind::Str: form = Written::Text; break;
      case Output::Kind::Decimal: form = kind == TypeKind::Decimal ? Written::Decimal : Written::DecimalText; break;
      default:
        form = kind == TypeKind::Null                                   ? Written::Null
               : kind == TypeKind::Bool                                 ? Written::Bool
               : kind == TypeKind::Int || kind == TypeKind::UInt        ? Written::Int
               : kind == TypeKind::Float32 || kind == TypeKind::Float64 ? Written::Float
               : kind == TypeKind::Decimal                              ? Written::Decimal
                                                                        : Written::Text;
    }
    std::string format;
    switch (form) {
      case Written::Null: format = "n"; break;
      case Written::Bool: format = "b"; break;
      case Written::Int:
        format = kind == TypeKind::Int || kind == TypeKind::UInt ? intFormat(kind, type.width) : "l";
        break;
      case Written::Float: format = "g"; break;
      case Written::Decimal: format = decimalFormat(type); break;
      default: format = kind == TypeKind::LargeUtf8 || kind == TypeKind::Utf8View ? "U" : "u";
    }
    if (type.kind == TypeKind::Dictionary) {
      dictionaryForm_ = form;
      job_.format = intFormat(type.indexSigned ? TypeKind::Int : TypeKind::UInt, type.width);
      job_.dictionaryFormat = format;
    } else {
      form_ = form;
      job_.format = format;
    }
    formFormat_ = format;
    misfit_ = Output::refused(Text(misfitMessage(formFormat_)));
  }

  // With no masked value to go by (every row null or a problem), the kind
  // the masker gives a plain value of the column's type: so that an empty
  // batch gets the same schema as a full one.
  Output::Kind probeKind(TypeKind kind) const {
    const bool numbers = job_.column->masker->strategy().readsDecimals();
    Input probe;
    if (kind == TypeKind::Int || kind == TypeKind::UInt) {
      probe = Input::ofInt(BigInt::fromI64(1));
    } else if (job_.column->decimalTexts || (numbers && kind == TypeKind::Decimal)) {
      probe = Input::ofText(Input::Kind::Decimal, PackedText(std::string_view("1")));
    } else if (numbers && (kind == TypeKind::Float32 || kind == TypeKind::Float64)) {
      probe = Input::ofText(Input::Kind::Float, PackedText(std::string_view("1.0")), 1.0);
    } else if (kind == TypeKind::Utf8 || kind == TypeKind::LargeUtf8 || kind == TypeKind::Utf8View) {
      probe = Input::ofText(Input::Kind::Str, PackedText(std::string_view("a")));
    } else {
      return Output::Kind::None;
    }
    const Output answer = job_.column->masker->maskOne(probe);
    return answer.isProblem() ? Output::Kind::None : answer.kind();
  }

  // Texts are written straight from the answers. Every other form first
  // makes each distinct answer's written bytes (or finds that it does not
  // fit) once, however many rows share it.
  void prepare(Written form) {
    direct_ = form == Written::Text;
    text_ = direct_ || form == Written::DecimalText;
    if (direct_) return;
    const ColumnType& type = job_.column->type;
    const TypeKind kind = type.kind == TypeKind::Dictionary ? type.valueKind : type.kind;
    const std::size_t count = masked_.answers.size();
    states_.assign(count, kNull);
    stride_ = form == Written::Decimal ? static_cast<std::size_t>(type.width) : 8;
    if (form == Written::Int || form == Written::Float || form == Written::Decimal) bytes_.assign(count * stride_, 0);
    if (form == Written::DecimalText) texts_.resize(count);
    DecimalParts parts;
    for (std::size_t a = 0; a < count; ++a) {
      const Output& answer = masked_.answers[a];
      if (answer.kind() == Output::Kind::None) continue;
      if (answer.isProblem()) {
        states_[a] = kProblem;
        continue;
      }
      states_[a] = kMisfit;
      if (answer.kind() != valueKind(form)) continue;
      std::uint8_t* bytes = bytes_.data() + a * stride_;
      switch (form) {
        case Written::Int: {
          const BigInt& v = answer.integer();
          const bool isUnsigned = kind == TypeKind::UInt;
          const int width = kind == TypeKind::Int || isUnsigned ? type.width : 8;
          if (isUnsigned) {
            if (v.isNegative() || !v.magnitudeFitsU64()) continue;
            const std::uint64_t u = v.magnitudeU64();
            if (width < 8 && u >> (8 * width) != 0) continue;
            std::memcpy(bytes, &u, 8);
          } else {
            const auto s = v.toI64();
            if (!s) continue;
            const std::int64_t limit = width == 8 ? 0 : std::int64_t{1} << (8 * width - 1);
            if (width < 8 && (*s < -limit || *s >= limit)) continue;
            std::memcpy(bytes, &*s, 8);
          }
          break;
        }
        case Written::Float: {
          const double d = answer.real();
          std::memcpy(bytes, &d, 8);
          break;
        }
        case Written::Decimal: {
          const std::string_view t(answer.text().data(), answer.text().size());
          if (!textToUnscaled(t, type.precision, type.scale, type.width, bytes)) continue;
          break;
        }
        case Written::DecimalText: {
          const std::string_view t(answer.text().data(), answer.text().size());
          texts_[a] = parseDecimal(t, parts) ? canonicalOf(parts) : std::string(t);
          break;
        }
        default: continue;
      }
      states_[a] = kValue;
    }
  }

  State stateOf(std::size_t a) const noexcept {
    if (!direct_) return static_cast<State>(states_[a]);
    switch (masked_.answers[a].kind()) {
      case Output::Kind::None: return kNull;
      case Output::Kind::Str: return kValue;
      case Output::Kind::Fallback:
      case Output::Kind::Refused: return kProblem;
      default: return kMisfit;
    }
  }
  // Precondition: stateOf(a) == kValue, and a text form.
  std::string_view textOf(std::size_t a) const noexcept {
    if (!direct_) return texts_[a];
    const Text& t = masked_.answers[a].text();
    return {t.data(), t.size()};
  }

  // The rows [position, position + rows) of the column: which hold a value;
  // the problems, numbered from firstRow, unless firstRow is negative.
  Scan scan(std::int64_t position, std::int64_t rows, std::int64_t firstRow) {
    Scan out;
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t* at = masked_.at.data() + position;
    out.validity = Buffer((n + 7) / 8);
    std::uint8_t* bits = out.validity.data();
    std::size_t values = 0;
    for (std::size_t r = 0; r < n; ++r) {
      const std::size_t a = at[r];
      const State state = stateOf(a);
      if (state == kValue) {
        bits[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
        ++values;
      } else if (state >= kProblem && firstRow >= 0) {
        addProblem(firstRow + static_cast<std::int64_t>(r), a, state);
      }
    }
    out.nulls = rows - static_cast<std::int64_t>(values);
    return out;
  }

  OutArray write(std::int64_t position, std::int64_t rows, Written form, Scan& scan) {
    OutArray out;
    out.length = rows;
    if (form == Written::Null) {
      out.nullCount = rows;
      return out;
    }
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t* at = masked_.at.data() + position;
    const std::uint8_t* bits = scan.validity.data();
    out.nullCount = scan.nulls;
    std::vector<Buffer> buffers;
    switch (form) {
      case Written::Bool: buffers.emplace_back((n + 7) / 8); break;
      case Written::Int:
      case Written::Float:
      case Written::Decimal: {
        const std::size_t width = form == Written::Decimal ? stride_ : form == Written::Float ? 8 : intWidth();
        Buffer values(n * width);  // zeroed: a null row's value is 0
        // One loop per width: a copy of a constant size is a move or two,
        // of a variable one a library call per value.
        auto copy = [&]<std::size_t kWidth>() {
          for (std::size_t r = 0; r < n; ++r)
            if (bitAt(bits, r)) std::memcpy(values.data() + r * kWidth, bytes_.data() + at[r] * stride_, kWidth);
        };
        switch (width) {
          case 1: copy.operator()<1>(); break;
          case 2: copy.operator()<2>(); break;
          case 4: copy.operator()<4>(); break;
          case 8: copy.operator()<8>(); break;
          case 16: copy.operator()<16>(); break;
          default: copy.operator()<32>(); break;
        }
        buffers.push_back(std::move(values));
        break;
      }
      default: break;
    }
    out.buffers.reserve(1 + buffers.size());
    out.buffers.push_back(scan.nulls == 0 ? Buffer() : std::move(scan.validity));
    for (Buffer& buffer : buffers) out.buffers.push_back(std::move(buffer));
    return out;
  }

  std::size_t intWidth() const {
    const ColumnType& type = job_.column->type;
    return type.kind == TypeKind::Int || type.kind == TypeKind::UInt ? static_cast<std::size_t>(type.width) : 8;
  }

  // Texts (straight from the answers, or the canonical decimal texts made
  // once per answer), each batch in one pass: its validity,
  // offsets and data written as the rows come, the data buffer grown when
  // a guess from the rows before runs out. False, with nothing to keep, when
  // 32-bit offsets would pass 2 GiB.
  bool writeTexts(bool large) {
    const bool dictionary = job_.column->type.kind == TypeKind::Dictionary;
    std::size_t perRow = 24;  // a first guess of the bytes per row
    std::int64_t position = 0;
    for (std::size_t b = 0; b < job_.views.size(); ++b) {
      const ColumnView& view = *job_.views[b];
      const std::int64_t rows = source(view).length;
      const auto n = static_cast<std::size_t>(rows);
      const std::size_t* at = masked_.at.data() + position;
      Buffer validity((n + 7) / 8);
      Buffer offsets((n + 1) * (large ? 8 : 4), Buffer::kUninitialized);
      // Below 2 GiB for 32-bit offsets, so that any text past them is seen
      // when the buffer grows.
      constexpr auto kMost32 = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
      Buffer data(large ? n * perRow : std::min(n * perRow, kMost32), Buffer::kUninitialized);
      std::uint8_t* bits = validity.data();
      auto* offsets32 = reinterpret_cast<std::int32_t*>(offsets.data());
      auto* offsets64 = reinterpret_cast<std::int64_t*>(offsets.data());
      std::size_t end = 0, values = 0;
      for (std::size_t r = 0; r <= n; ++r) {
        if (large)
          offsets64[r] = static_cast<std::int64_t>(end);
        else
          offsets32[r] = static_cast<std::int32_t>(end);
        if (r == n) break;
        const std::size_t a = at[r];
        const State state = stateOf(a);
        if (state == kValue) {
          const std::string_view t = textOf(a);
          if (end + t.size() > data.capacity()) {
            if (!large && end + t.size() > kMost32) return false;
            const std::size_t grown = std::max(2 * data.capacity(), end + t.size());
            data.reallocate(large ? grown : std::min(grown, kMost32), end);
          }
          if (t.size() <= 64)
            copyShort(data.data() + end, t.data(), t.size());
          else
            std::memcpy(data.data() + end, t.data(), t.size());
          end += t.size();
          bits[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
          ++values;
        } else if (state >= kProblem && !dictionary) {
          addProblem(job_.firstRow[b] + static_cast<std::int64_t>(r), a, state);
        }
      }
      data.trim(end);
      if (n > 0) perRow = end / n + 8;
      OutArray array;
      array.length = rows;
      array.nullCount = rows - static_cast<std::int64_t>(values);
      array.buffers.reserve(3);
      array.buffers.push_back(values == n ? Buffer() : std::move(validity));
      array.buffers.push_back(std::move(offsets));
      array.buffers.push_back(std::move(data));
      place(std::move(array), view, position, b, (*job_.outputs)[b]);
      position += rows;
    }
    return true;
  }

  // A batch's written values as its output: the array itself, or for a
  // dictionary column its dictionary, beside the indices.
  void place(OutArray&& values, const ColumnView& view, std::int64_t position, std::size_t batch, OutArray& out) {
    if (view.type.kind != TypeKind::Dictionary) {
      out = std::move(values);
      return;
    }
    out.dictionary = std::make_unique<OutArray>(std::move(values));
    writeIndices(view, position, batch, out);
  }

  // The indices are kept; a row whose entry is null or a problem is null.
  void writeIndices(const ColumnView& view, std::int64_t position, std::size_t batch, OutArray& out) {
    const auto n = static_cast<std::size_t>(view.length);
    const auto width = static_cast<std::size_t>(view.type.width);
    out.length = view.length;
    Buffer validity((n + 7) / 8);
    Buffer indices(n * width);
    if (n > 0)
      std::memcpy(indices.data(), static_cast<const std::uint8_t*>(view.values) + view.first * width, n * width);
    std::int64_t nulls = 0;
    for (std::size_t r = 0; r < n; ++r) {
      const auto row = static_cast<std::int64_t>(r);
      bool value = false;
      if (view.valid(row)) {
        const std::size_t answer = masked_.at[static_cast<std::size_t>(position + view.signedInt(row))];
        const State state = stateOf(answer);
        value = state == kValue;
        if (state >= kProblem) addProblem(job_.firstRow[batch] + row, answer, state);
      }
      if (value)
        validity.data()[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
      else
        ++nulls;
    }
    out.nullCount = nulls;
    out.buffers.push_back(nulls == 0 ? Buffer() : std::move(validity));
    out.buffers.push_back(std::move(indices));
  }

  void addProblem(std::int64_t row, std::size_t answer, State state) {
    const Output& output = state == kMisfit ? misfit_ : masked_.answers[answer];
    const bool refused = output.kind() == Output::Kind::Refused;
    job_.problems.push_back(
        {row, job_.index, refused, refused ? std::string(output.text().data(), output.text().size()) : std::string()});
  }

  ColumnJob& job_;
  const MaskedValues& masked_;
  Written form_ = Written::Null, dictionaryForm_ = Written::Null;
  std::string formFormat_;
  bool direct_ = false;  // Text: states and texts read from the answers themselves
  bool text_ = false;    // Text or DecimalText
  Vec<std::uint8_t> states_;
  Vec<std::uint8_t> bytes_;  // stride_ bytes per answer: Int, Float, Decimal
  std::size_t stride_ = 8;
  std::vector<std::string> texts_;  // DecimalText
  Output misfit_;
};

}  // namespace

void writeColumn(ColumnJob& job, const MaskedValues& masked) { ColumnWriter(job, masked).run(); }

}  // namespace zorva::arrow
