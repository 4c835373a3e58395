// maskInputs (de-duplication, the result cache, the pool) and maskColumn.
#include "shared/column_masking.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <stdexcept>

#include "shared/masker.h"
#include "pool.h"
#include "shared/result_cache.h"
#include "shared/seen_table.h"
#include "shared/sequence.h"

namespace zorva::py {

namespace {

// Fewer distinct values than this stay on the calling thread.
constexpr std::size_t kParallelThreshold = 256;
// Values per pool task: a whole group of the strategies' batch roads. A
// smaller task (64 values) gives the key permutations only four values per
// lane, and much of it goes on draining its lanes on narrower HMAC roads; a
// task of 512 values still takes well under a millisecond, so two threads
// share a column evenly.
constexpr std::size_t kBatchGrain = kGroup;

void prefetchText(const Input& input) noexcept {
  const Input::Kind kind = input.kind();
  if (kind == Input::Kind::Str || kind == Input::Kind::Decimal) py::prefetchText(input.text());
}

// How many values ahead of its turn a value's memory is fetched: about as
// many as it takes to hide one load from memory behind the work on values.
constexpr std::size_t kAhead = 8;

// Whether the key is short enough for the cache; the strategy says which of
// its outputs enter it.
bool cacheableKey(const KeyView& key) noexcept {
  return !(key.kind == KeyView::Kind::Str && key.text.size() > ResultCache::kLongestText);
}

// A distinct uncached value: the position of its first occurrence and the
// slot of its answer.
struct Pending {
  std::size_t position;
  std::size_t slot;
  std::size_t hash;  // of the value's key, with the cache's seed
};

// Masks every pending value into its slot, on the pool when it pays.
void maskPending(const Masker& masker, const Vec<Input>& inputs, const Vec<Pending>& pending, Vec<Output>& answers) {
  std::shared_ptr<Pool> pool = pending.size() >= kParallelThreshold ? currentPool() : std::shared_ptr<Pool>();
  parallelFor(
      pool, pending.size(),
      [&](std::size_t begin, std::size_t end) {
        // The strategy's batch road takes the piece in groups: pointers to the
        // inputs and to their answer slots.
        const Input* group[kGroup];
        Output* slots[kGroup];
        for (std::size_t from = begin; from < end; from += kGroup) {
          const std::size_t count = std::min(kGroup, end - from);
          for (std::size_t k = 0; k < count; ++k) {
            group[k] = &inputs[pending[from + k].position];
            slots[k] = &answers[pending[from + k].slot];
          }
          masker.maskMany(group, slots, count);
        }
      },
      kBatchGrain);
}

// Adds the new answers of the pending values to the masker's result cache,
// in order of first occurrence, while it has room.
// Without hashed, the pending values' hashes are made here, for the values
// that reach the cache only.
void fillCache(const Masker& masker, const Vec<Input>& inputs, const Vec<Pending>& pending, const Vec<Output>& answers,
               std::size_t callValues, bool hashed = true) {
  ResultCache* cache = masker.cache();
  if (cache == nullptr || pending.empty() || cache->full.load(std::memory_order_relaxed)) return;
  // Each key and answer is copied once, straight into its cache entry: a
  // key built apart and moved in would cost each entry a second write of
  // both, and the first pass held the lock for longer than this anyway.
  std::lock_guard<std::mutex> lock(cache->mutex);
  // One growth to what this call can add, not a move at every doubling.
  cache->reserve(std::max(std::min(pending.size(), ResultCache::kCapacity), callValues));
  const KeyHash hasher = cache->hasher();
  auto hashOf = [&](std::size_t k) {
    return hashed ? pending[k].hash : hasher(*KeyView::of(inputs[pending[k].position]));
  };
  std::size_t hashes[kAhead];
  for (std::size_t k = 0; k < std::min(kAhead, pending.size()); ++k) hashes[k] = hashOf(k);
  std::size_t offered = 0;  // keys offered to the cache, full or not
  for (std::size_t k = 0; k < pending.size(); ++k) {
    if (offered == ResultCache::kCapacity || cache->size() >= ResultCache::kCapacity) break;
    // The key copies the text, last read before the masking, and the
    // insertion reads the cache slot: both fetched ahead.
    const std::size_t hash = hashes[k % kAhead];
    if (k + kAhead < pending.size()) {
      prefetchText(inputs[pending[k + kAhead].position]);
      hashes[k % kAhead] = hashOf(k + kAhead);
      cache->prefetchSlot(hashes[k % kAhead]);
    }
    const Pending& p = pending[k];
    const KeyView key = *KeyView::of(inputs[p.position]);
    const Output& answer = answers[p.slot];
    if (!cacheableKey(key) || !masker.strategy().caches(answer)) continue;
    ++offered;
    cache->insertOrAssign(key, hash, answer);
  }
  if (cache->size() >= ResultCache::kCapacity) cache->full.store(true, std::memory_order_relaxed);
}

}  // namespace

MaskedValues maskInputs(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues) {
  MaskedValues result;
  maskInputsInto(masker, inputs, callValues, result);
  return result;
}

void maskInputsInto(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues, MaskedValues& result) {
  const std::size_t n = inputs.size();
  ResultCache* cache = masker.cache();
  // This block's positions follow those already in result; its answers go
  // after the earlier blocks' answers.
  const std::size_t base = result.at.size();
  result.at.resize(base + n);
  std::size_t* const at = result.at.data() + base;
  Vec<Pending> pending;
  // Each keyed value hashes once, with the cache's seed, for both the call's
  // table and the cache. The lists are sized for the worst case (every value
  // distinct) up front: growing them value by value costs more than the
  // masking of cheap strategies.
  const KeyHash hasher = cache != nullptr ? cache->hasher() : KeyHash();
  SeenTable seen(n);
  if (result.answers.capacity() - result.answers.size() < n)
    result.answers.reserve(std::max(result.answers.size() + n, 2 * result.answers.capacity()));
  pending.reserve(n);

  {
    std::unique_lock<std::mutex> lock;
    if (cache != nullptr) lock = std::unique_lock<std::mutex>(cache->mutex);
    const ResultCache* lookIn = cache != nullptr && !cache->empty() ? cache : nullptr;
    // The first pass runs behind its reads: a value's text is fetched kAhead
    // values before it is hashed (a text longer than an Input holds inline is
    // viewed in the str or buffer it was read from, long gone from the
    // caches), and hashed, with its table slot and its cache slot fetched,
    // kAhead values before its turn; half-way there, the cache entry that
    // slot names is fetched too. Past a few thousand values the table and
    // the cache outgrow the core's own caches, and every value would
    // otherwise wait on up to three loads from memory.
    std::size_t hashes[kAhead] = {};
    auto hashAhead = [&](std::size_t j) {
      if (j + 3 * kAhead < n) prefetchText(inputs[j + 3 * kAhead]);
      if (j >= n) return;
      if (auto key = KeyView::of(inputs[j])) {
        const std::size_t hash = hasher(*key);
        hashes[j % kAhead] = hash;
        seen.prefetch(hash);
        if (lookIn != nullptr) lookIn->prefetchSlot(hash);
      }
    };
    for (std::size_t j = 0; j < std::min(n, 4 * kAhead); ++j) prefetchText(inputs[j]);
    for (std::size_t j = 0; j < kAhead; ++j) hashAhead(j);
    // Every None of the call shares the first one's answer: sparse columns
    // are mostly None, and each would otherwise cost an answer and an object.
    std::size_t noneAnswer = SIZE_MAX;
    for (std::size_t i = 0; i < n; ++i) {
      const Input& input = inputs[i];
      auto key = KeyView::of(input);
      const std::size_t hash = hashes[i % kAhead];
      hashAhead(i + kAhead);
      if (lookIn != nullptr && i + kAhead / 2 < n) lookIn->prefetchEntry(hashes[(i + kAhead / 2) % kAhead]);
      if (!key) {
        if (input.kind() == Input::Kind::None) {
          if (noneAnswer != SIZE_MAX) {
            at[i] = noneAnswer;
            continue;
          }
          noneAnswer = result.answers.size();
        }
        // Key-less values (None, bool, unsupported) are masked on their own, here.
        at[i] = result.answers.size();
        result.answers.push_back(masker.maskOne(inputs[i]));
        continue;
      }
      const std::size_t earlier =
          seen.findOrAdd(hash, i, [&](std::size_t q) { return *KeyView::of(inputs[q]) == *key; });
      if (earlier != SeenTable::kNew) {
        at[i] = at[earlier];
        continue;
      }
      at[i] = result.answers.size();
      if (lookIn != nullptr) {
        if (const Output* hit = lookIn->find(*key, hash)) {
          result.answers.push_back(*hit);
          continue;
        }
      }
      pending.push_back(Pending{i, result.answers.size(), hash});
      result.answers.emplace_back();
    }
  }

  maskPending(masker, inputs, pending, result.answers);

  fillCache(masker, inputs, pending, result.answers, callValues);
}

void maskEachInto(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues, Vec<Output>& answers) {
  const std::size_t n = inputs.size();
  ResultCache* cache = masker.cache();
  // Sized for every input up front (and the pending list cut to size
  // after): an append per value was not inlined, a call for each.
  Vec<Pending> pending(n);
  std::size_t count = 0;
  const std::size_t base = answers.size();
  if (answers.capacity() < base + n) answers.reserve(std::max(base + n, 2 * answers.capacity()));
  answers.resize(base + n);
  Output* const slots = answers.data() + base;
  std::unique_lock<std::mutex> lock;
  if (cache != nullptr) lock = std::unique_lock<std::mutex>(cache->mutex);
  const ResultCache* lookIn = cache != nullptr && !cache->empty() ? cache : nullptr;
  if (lookIn == nullptr) {
    // Nothing to look up: each keyed value is pending, and its hash is made
    // only if it goes into the cache.
    for (std::size_t i = 0; i < n; ++i) {
      if (!KeyView::of(inputs[i])) {
        slots[i] = masker.maskOne(inputs[i]);
        continue;
      }
      pending[count++] = Pending{i, base + i, 0};
    }
  } else {
    const KeyHash hasher = cache->hasher();
    // The hashes serve the cache alone; its slots are fetched ahead, as in
    // the grouping pass.
    std::size_t hashes[kAhead] = {};
    auto hashAhead = [&](std::size_t j) {
      if (j >= n) return;
      if (auto key = KeyView::of(inputs[j])) {
        hashes[j % kAhead] = hasher(*key);
        lookIn->prefetchSlot(hashes[j % kAhead]);
      }
    };
    for (std::size_t j = 0; j < kAhead; ++j) hashAhead(j);
    for (std::size_t i = 0; i < n; ++i) {
      const auto key = KeyView::of(inputs[i]);
      const std::size_t hash = hashes[i % kAhead];
      hashAhead(i + kAhead);
      if (i + kAhead / 2 < n) lookIn->prefetchEntry(hashes[(i + kAhead / 2) % kAhead]);
      if (!key) {
        slots[i] = masker.maskOne(inputs[i]);
        continue;
      }
      if (const Output* hit = lookIn->find(*key, hash)) {
        slots[i] = *hit;
        continue;
      }
      pending[count++] = Pending{i, base + i, hash};
    }
  }
  pending.resize(count);
  if (lock.owns_lock()) lock.unlock();
  maskPending(masker, inputs, pending, answers);
  fillCache(masker, inputs, pending, answers, callValues, lookIn != nullptr);
}

namespace {

// Converts one value, viewing a str's text in the str itself rather than
// copying it: kept then holds the str for the rest of the call, whatever a
// later value's repr() does to the container.
bool readOne(PyObject* item, PyObject* decimalType, Vec<Input>& inputs, Vec<Ref>& kept) {
  inputs.emplace_back();
  if (!convert(item, decimalType, inputs.back(), true)) return false;
  if (inputs.back().kind() == Input::Kind::Str) kept.push_back(Ref::borrow(item));
  return true;
}

// How many items ahead of its reading an item's object is fetched. A
// column's values were made row by row among the other columns' objects, so
// each one is a load from memory; a str's text follows its header, hence the
// second line.
constexpr Py_ssize_t kItemsAhead = 8;
void prefetchObject(PyObject* object) noexcept {
  __builtin_prefetch(object);
  __builtin_prefetch(reinterpret_cast<const char*>(object) + 64);
}

// Drops the strs that the inputs viewed, fetching each one's header ahead:
// by now they have left the caches again.
void releaseKept(Vec<Ref>& kept) noexcept {
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i + kItemsAhead < kept.size()) __builtin_prefetch(kept[i + kItemsAhead].get());
    kept[i] = Ref();
  }
}

// Appends the converted values: a list by index (a value's repr() may shrink
// it while it is read), a tuple by index, anything else through iter().
bool readValues(PyObject* values, PyObject* decimalType, Vec<Input>& inputs, Vec<Ref>& kept) {
  if (PyList_Check(values) || PyTuple_Check(values)) {
    const Py_ssize_t size = PyList_Check(values) ? PyList_Size(values) : PyTuple_Size(values);
    inputs.reserve(static_cast<std::size_t>(size));
    kept.reserve(static_cast<std::size_t>(size));
  } else {
    inputs.reserve(lengthHint(values));
  }
  return readItems(
      values, ByIndex::ListsAndTuples, [&](PyObject* item) { return readOne(item, decimalType, inputs, kept); },
      [](Py_ssize_t i, Py_ssize_t size, const auto& itemAt) noexcept {
        // Only fetched, never read: the item may be gone by its turn.
        if (i + kItemsAhead < size) prefetchObject(itemAt(i + kItemsAhead));
      });
}

}  // namespace

PyObject* maskColumn(const Masker& masker, PyObject* values) {
  Ref decimalType;
  if (masker.strategy().readsDecimals()) {
    decimalType = Ref::steal(importDecimalType());
    if (!decimalType) return nullptr;
  }
  Vec<Ref> kept;  // declared first: the inputs that view these strs go before them
  Vec<Input> inputs;
  if (!readValues(values, decimalType.get(), inputs, kept)) return nullptr;

  MaskedValues outputs;
  {
    ReleasedLock unlocked;
    outputs = maskInputs(masker, inputs);
  }

  const std::size_t n = outputs.size();
  Ref masked = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  Ref problems = Ref::steal(PyDict_New());
  if (!masked || !problems) return nullptr;
  AnswerObjects objects(outputs, decimalType.get());
  for (std::size_t p = 0; p < n; ++p) {
    const Output& output = outputs[p];
    if (output.isProblem()) {
      Ref position = Ref::steal(PyLong_FromSize_t(p));
      Ref marker = Ref::steal(problemMarker(output));
      if (!position || !marker || PyDict_SetItem(problems.get(), position.get(), marker.get()) < 0) return nullptr;
    }
    PyObject* value = objects.take(p);
    if (value == nullptr) return nullptr;
    PyList_SetItem(masked.get(), static_cast<Py_ssize_t>(p), value);
  }
  // The inputs view the kept strs: they go first.
  inputs = Vec<Input>();
  releaseKept(kept);
  return PyTuple_Pack(2, masked.get(), problems.get());
}

}  // namespace zorva::py
