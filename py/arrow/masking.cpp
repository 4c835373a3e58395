// maskBatches: validation, reading, masking on the pool and writing.
#include "masking.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "column.h"
#include "decimal_texts.h"
#include "pool.h"

namespace zorva::arrow {
namespace {

using py::Input;
using py::MaskedValues;
using py::Output;
using py::PackedText;

// The written form of a column's masked values.
enum class Written : std::uint8_t { Null, Bool, Int, Float, Decimal, Text, DecimalText };

// What a column reads and writes: the inputs are its rows, or for a
// dictionary column its dictionaries' entries.
struct ColumnJob {
  const InColumn* column = nullptr;
  std::size_t index = 0;
  std::vector<const ColumnView*> views;      // per batch
  std::vector<std::int64_t> firstRow;        // per batch: the batch's first row of the call
  std::vector<OutArray>* outputs = nullptr;  // per batch, written here
  std::vector<ProblemAt> problems;
  std::string format, dictionaryFormat;
};

// Inputs per maskInputs call for a masker without a result cache: like the
// row door's chunks, each block is de-duplicated on its own.
constexpr std::size_t kBlock = 16384;

// The rows (or dictionary entries) a view gives as inputs.
const ColumnView& source(const ColumnView& view) {
  return view.type.kind == TypeKind::Dictionary ? *view.dictionary : view;
}

// The number of inputs a column gives: its rows, or its dictionaries' entries.
std::size_t inputCount(const ColumnJob& job) {
  std::size_t total = 0;
  for (const ColumnView* view : job.views) total += static_cast<std::size_t>(source(*view).length);
  return total;
}

// Inputs [from, to) of the column, its batches' inputs one after another.
void readInputs(const ColumnJob& job, std::size_t from, std::size_t to, Vec<Input>& inputs) {
  const InColumn& column = *job.column;
  const bool numbers = column.masker->strategy().readsDecimals();
  inputs.clear();
  inputs.reserve(to - from);
  std::string text;
  DecimalParts parts;
  std::size_t start = 0;  // the view's first input among the column's
  for (const ColumnView* whole : job.views) {
    const ColumnView& view = source(*whole);
    const TypeKind kind = view.type.kind;
    const std::size_t viewStart = start;
    start += static_cast<std::size_t>(view.length);
    if (to <= viewStart || start <= from) continue;
    const auto first = static_cast<std::int64_t>(std::max(from, viewStart) - viewStart);
    const auto last = static_cast<std::int64_t>(std::min(to, start) - viewStart);
    for (std::int64_t r = first; r < last; ++r) {
      Input& in = inputs.emplace_back();
      if (kind == TypeKind::Null || !view.valid(r)) continue;
      switch (kind) {
        case TypeKind::Bool: in = Input(Input::Kind::Bool); break;
        case TypeKind::Int: in = Input::ofInt(BigInt::fromI64(view.signedInt(r))); break;
        case TypeKind::UInt: in = Input::ofInt(BigInt::fromU64(view.unsignedInt(r))); break;
        case TypeKind::Float32:
        case TypeKind::Float64:
          if (!numbers) {
            in = Input(Input::Kind::Other);
          } else {
            // The repr as the exact float type's: left for the strategy to write.
            in = Input::ofText(Input::Kind::Float, PackedText(), view.real(r));
          }
          break;
        case TypeKind::Decimal:
          in = numbers ? Input::ofText(
                             Input::Kind::Decimal,
                             PackedText(decimalValueString(view.decimalBytes(r), view.type.width, view.type.scale)))
                       : Input(Input::Kind::Other);
          break;
        default:
          if (!column.decimalTexts) {
            // The batch outlives the inputs: its text is viewed, not copied.
            in = Input::ofText(Input::Kind::Str, PackedText::borrowed(view.textAt(r)));
          } else if (numbers && parseDecimal(view.textAt(r), parts)) {
            in = Input::ofText(Input::Kind::Decimal, PackedText(canonicalOf(parts)));
          } else {
            in = Input(Input::Kind::Other);
          }
          break;
      }
    }
  }
}

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

std::string decimalFormat(const ColumnType& type) {
  std::string out = "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale);
  if (type.width != 16) out += "," + std::to_string(type.width * 8);
  return out;
}

// One answer, made ready to write: its bits, or why it is a problem.
struct Ready {
  enum State : std::uint8_t { Null, Value, Problem, Misfit } state = Null;
  std::uint8_t bytes[32] = {};  // Int, Float, Decimal: the value as written
  std::string_view text;        // Text, DecimalText
};

class ColumnWriter {
 public:
  ColumnWriter(ColumnJob& job, const MaskedValues& masked) : job_(job), masked_(masked) {}

  void run() {
    chooseForm();
    prepare();
    widenPastInt32();
    std::int64_t position = 0;
    for (std::size_t b = 0; b < job_.views.size(); ++b) {
      const ColumnView& view = *job_.views[b];
      OutArray& out = (*job_.outputs)[b];
      if (view.type.kind == TypeKind::Dictionary) {
        const std::int64_t entries = view.dictionary->length;
        out.dictionary = std::make_unique<OutArray>(write(position, entries, dictionaryForm_));
        writeIndices(view, position, b, out);
        position += entries;
      } else {
        out = write(position, view.length, form_);
        for (std::int64_t r = 0; r < view.length; ++r) {
          const Ready& ready = ready_[masked_.at[static_cast<std::size_t>(position + r)]];
          if (ready.state >= Ready::Problem) addProblem(job_.firstRow[b] + r, masked_.at[position + r]);
        }
        position += view.length;
      }
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

  // Each distinct answer once: its written bytes, or a problem.
  void prepare() {
    const Written form = job_.column->type.kind == TypeKind::Dictionary ? dictionaryForm_ : form_;
    const ColumnType& type = job_.column->type;
    const TypeKind kind = type.kind == TypeKind::Dictionary ? type.valueKind : type.kind;
    ready_.resize(masked_.answers.size());
    DecimalParts parts;
    for (std::size_t a = 0; a < masked_.answers.size(); ++a) {
      const Output& answer = masked_.answers[a];
      Ready& ready = ready_[a];
      if (answer.kind() == Output::Kind::None) continue;
      if (answer.isProblem()) {
        ready.state = Ready::Problem;
        continue;
      }
      ready.state = Ready::Misfit;
      if (answer.kind() != valueKind(form)) continue;
      switch (form) {
        case Written::Int: {
          const BigInt& v = answer.integer();
          const bool isUnsigned = kind == TypeKind::UInt;
          const int width = kind == TypeKind::Int || isUnsigned ? type.width : 8;
          if (isUnsigned) {
            if (v.isNegative() || !v.magnitudeFitsU64()) continue;
            const std::uint64_t u = v.magnitudeU64();
            if (width < 8 && u >> (8 * width) != 0) continue;
            std::memcpy(ready.bytes, &u, 8);
          } else {
            const auto s = v.toI64();
            if (!s) continue;
            const std::int64_t limit = width == 8 ? 0 : std::int64_t{1} << (8 * width - 1);
            if (width < 8 && (*s < -limit || *s >= limit)) continue;
            std::memcpy(ready.bytes, &*s, 8);
          }
          break;
        }
        case Written::Float: {
          const double d = answer.real();
          std::memcpy(ready.bytes, &d, 8);
          break;
        }
        case Written::Decimal: {
          const std::string_view t(answer.text().data(), answer.text().size());
          std::optional<bool> fits = plainToUnscaled(t, type.precision, type.scale, type.width, ready.bytes);
          if (!fits)
            fits = parseDecimal(t, parts) && toUnscaled(parts, type.precision, type.scale, type.width, ready.bytes);
          if (!*fits) continue;
          break;
        }
        case Written::DecimalText: {
          const std::string_view t(answer.text().data(), answer.text().size());
          decimalTexts_.push_back(parseDecimal(t, parts) ? canonicalOf(parts) : std::string(t));
          break;
        }
        case Written::Text: ready.text = std::string_view(answer.text().data(), answer.text().size()); break;
        default: continue;
      }
      ready.state = Ready::Value;
    }
    // The canonical texts, once all are made (the vector no longer moves).
    std::size_t k = 0;
    if (form == Written::DecimalText)
      for (std::size_t a = 0; a < ready_.size(); ++a)
        if (ready_[a].state == Ready::Value) ready_[a].text = decimalTexts_[k++];
    misfit_ = Output::refused(Text("the masked value does not fit the column's Arrow type '" + formFormat_ + "'"));
  }

  // utf8 offsets are 32-bit: a batch whose masked texts pass 2 GiB makes
  // the whole column large_utf8 (every batch of a stream has one schema).
  void widenPastInt32() {
    if (formFormat_ != "u") return;
    std::int64_t position = 0;
    for (const ColumnView* view : job_.views) {
      const std::int64_t count = source(*view).length;
      std::size_t bytes = 0;
      for (std::int64_t r = 0; r < count; ++r)
        bytes += ready_[masked_.at[static_cast<std::size_t>(position + r)]].text.size();
      position += count;
      if (bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        formFormat_ = "U";
        (job_.column->type.kind == TypeKind::Dictionary ? job_.dictionaryFormat : job_.format) = "U";
        return;
      }
    }
  }

  OutArray write(std::int64_t position, std::int64_t rows, Written form) {
    OutArray out;
    out.length = rows;
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t* at = masked_.at.data() + position;
    if (form == Written::Null) {
      out.nullCount = rows;
      return out;
    }
    Buffer validity((n + 7) / 8);
    std::int64_t nulls = 0;
    for (std::size_t r = 0; r < n; ++r) {
      if (ready_[at[r]].state == Ready::Value)
        validity.data()[r >> 3] |= static_cast<std::uint8_t>(1u << (r & 7));
      else
        ++nulls;
    }
    out.nullCount = nulls;
    out.buffers.push_back(nulls == 0 ? Buffer() : std::move(validity));
    switch (form) {
      case Written::Bool: out.buffers.emplace_back((n + 7) / 8); break;
      case Written::Int:
      case Written::Float:
      case Written::Decimal: {
        const std::size_t width = form == Written::Decimal ? static_cast<std::size_t>(job_.column->type.width)
                                  : form == Written::Float ? 8
                                                           : static_cast<std::size_t>(intWidth());
        Buffer values(n * width);
        for (std::size_t r = 0; r < n; ++r) {
          const Ready& ready = ready_[at[r]];
          if (ready.state == Ready::Value) std::memcpy(values.data() + r * width, ready.bytes, width);
        }
        out.buffers.push_back(std::move(values));
        break;
      }
      default: {
        std::size_t bytes = 0;
        for (std::size_t r = 0; r < n; ++r) bytes += ready_[at[r]].text.size();
        const bool large = formFormat_ == "U";
        Buffer offsets((n + 1) * (large ? 8 : 4));
        Buffer data(bytes);
        std::size_t end = 0;
        for (std::size_t r = 0; r < n; ++r) {
          const std::string_view t = ready_[at[r]].text;
          if (!t.empty()) std::memcpy(data.data() + end, t.data(), t.size());
          end += t.size();
          if (large) {
            const auto o = static_cast<std::int64_t>(end);
            std::memcpy(offsets.data() + (r + 1) * 8, &o, 8);
          } else {
            const auto o = static_cast<std::int32_t>(end);
            std::memcpy(offsets.data() + (r + 1) * 4, &o, 4);
          }
        }
        out.buffers.push_back(std::move(offsets));
        out.buffers.push_back(std::move(data));
      }
    }
    return out;
  }

  int intWidth() const {
    const ColumnType& type = job_.column->type;
    return type.kind == TypeKind::Int || type.kind == TypeKind::UInt ? type.width : 8;
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
        value = ready_[answer].state == Ready::Value;
        if (ready_[answer].state >= Ready::Problem) addProblem(job_.firstRow[batch] + row, answer);
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

  void addProblem(std::int64_t row, std::size_t answer) {
    const Output& output = ready_[answer].state == Ready::Misfit ? misfit_ : masked_.answers[answer];
    const bool refused = output.kind() == Output::Kind::Refused;
    job_.problems.push_back(
        {row, job_.index, refused, refused ? std::string(output.text().data(), output.text().size()) : std::string()});
  }

  ColumnJob& job_;
  const MaskedValues& masked_;
  Written form_ = Written::Null, dictionaryForm_ = Written::Null;
  std::string formFormat_;
  std::vector<Ready> ready_;
  std::vector<std::string> decimalTexts_;
  Output misfit_;
};

BatchError refuse(const InColumn* column, std::size_t j, const Problem& p) {
  if (column == nullptr) return {p.kind, p.message};
  return {p.kind, "column " + std::to_string(j) + " ('" + column->name + "'): " + p.message};
}

}  // namespace

bool maskBatches(const std::vector<InColumn>& columns, const std::shared_ptr<ForeignSchema>& schema,
                 const std::vector<std::shared_ptr<ForeignArray>>& batches, MaskedTable& out, BatchError& error) {
  const std::size_t width = columns.size();
  // A carried field is copied into the output's schema even when no batch
  // comes with it: its own structure is checked first.
  for (std::size_t j = 0; j < width; ++j) {
    if (columns[j].masker != nullptr) continue;
    if (Problem p = checkField(*columns[j].field)) {
      error = refuse(&columns[j], j, p);
      return false;
    }
  }
  // Every batch is checked before anything is masked.
  std::vector<std::vector<ColumnView>> views(batches.size());
  for (auto& batchViews : views) batchViews.resize(width);
  std::vector<std::int64_t> firstRow(batches.size());
  std::int64_t rows = 0;
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const ArrowArray& batch = batches[b]->value;
    Problem p = checkBatch(batch, static_cast<std::int64_t>(width));
    // Rows are counted across the whole input: the count must stay in range.
    if (!p && batch.length > kMaxRows - rows) p = {Refusal::Malformed, "the batches hold more than 2^56 rows in all"};
    if (p) {
      error = refuse(nullptr, 0, p);
      return false;
    }
    firstRow[b] = rows;
    rows += batch.length;
    for (std::size_t j = 0; j < width; ++j) {
      const ArrowArray* child = batch.children[j];
      if (child == nullptr) {
        p = {Refusal::Malformed, "the column's array is missing"};
      } else if (columns[j].masker == nullptr) {
        p = checkShape(*child, *columns[j].field);
        if (!p && child->length < batch.offset + batch.length)
          p = {Refusal::Malformed, "the array holds fewer rows than its batch"};
      } else {
        p = viewColumn(*child, columns[j].type, batch.offset, batch.length, views[b][j]);
      }
      if (p) {
        error = refuse(&columns[j], j, p);
        return false;
      }
    }
  }

  auto table = std::make_shared<OutTable>();
  table->batches.resize(batches.size());
  std::vector<std::vector<OutArray>> outputs(width);
  for (auto& columnOutputs : outputs) columnOutputs.resize(batches.size());
  std::vector<ColumnJob> jobs;
  for (std::size_t j = 0; j < width; ++j) {
    if (columns[j].masker == nullptr) continue;
    ColumnJob& job = jobs.emplace_back();
    job.column = &columns[j];
    job.index = j;
    job.firstRow = firstRow;
    job.outputs = &outputs[j];
    for (std::size_t b = 0; b < batches.size(); ++b) job.views.push_back(&views[b][j]);
  }
  // Every column at once on the pool, each read, masked and written by one
  // task; maskInputs splits a column's distinct values again on the same pool,
  // so a long column is shared by the workers that run out of columns. The
  // inputs and answers of a column go as soon as it is written.
  parallelFor(currentPool(), jobs.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      // Read and masked in blocks of kBlock inputs: a block's inputs, its
      // de-duplication table and its strategy's passes stay in the core's
      // own caches, where a whole column's would not (at 200,000 values
      // every one of them was a load from memory). Not a masker with a
      // result cache: each later block would look every value up in the
      // cache, a load from memory of its own, where one table for the whole
      // column finds the repeats before the cache is consulted.
      const py::Masker& masker = *jobs[k].column->masker;
      const std::size_t total = inputCount(jobs[k]);
      const std::size_t block = masker.cache() != nullptr ? total : kBlock;
      MaskedValues masked;
      masked.at.reserve(total);
      masked.answers.reserve(total);
      Vec<Input> inputs;
      for (std::size_t from = 0; from < total; from += block) {
        readInputs(jobs[k], from, std::min(total, from + block), inputs);
        py::maskInputsInto(masker, inputs, total, masked);
      }
      Vec<Input>().swap(inputs);
      ColumnWriter(jobs[k], masked).run();
    }
  });

  for (std::size_t j = 0; j < width; ++j) {
    OutField& field = table->fields.emplace_back();
    if (columns[j].masker == nullptr) {
      field.foreign = columns[j].field;
      field.keep = schema;
      for (std::size_t b = 0; b < batches.size(); ++b) {
        OutArray& carried = outputs[j][b];
        carried.foreign = batches[b]->value.children[j];
        carried.keep = batches[b];
        carried.sliceOffset = batches[b]->value.offset;
        carried.length = batches[b]->value.length;
      }
    } else {
      field.name = columns[j].name;
    }
  }
  for (ColumnJob& job : jobs) {
    OutField& field = table->fields[job.index];
    field.format = job.format;
    field.dictionaryFormat = job.dictionaryFormat;
    out.problems.insert(out.problems.end(), std::make_move_iterator(job.problems.begin()),
                        std::make_move_iterator(job.problems.end()));
  }
  for (std::size_t b = 0; b < batches.size(); ++b) {
    table->batches[b].length = batches[b]->value.length;
    for (std::size_t j = 0; j < width; ++j) table->batches[b].columns.push_back(std::move(outputs[j][b]));
  }
  std::sort(out.problems.begin(), out.problems.end(), [](const ProblemAt& a, const ProblemAt& b) {
    return a.row != b.row ? a.row < b.row : a.column < b.column;
  });
  out.table = std::move(table);
  return true;
}

}  // namespace zorva::arrow
