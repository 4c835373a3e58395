// maskInputs (de-duplication, the result cache, the pool) and maskColumn.
#include "column.h"

#include <algorithm>
#include <bit>
#include <functional>

#include <sys/random.h>

#include "masker.h"
#include "pool.h"

namespace zorva::py {

// A full cache holds 65,536 of these per Masker.
static_assert(sizeof(CacheKey) <= 40);
static_assert(sizeof(InputRef) == 2 * sizeof(void*));

namespace {

std::uint64_t randomSeed() {
  // One OS draw per thread; each map then takes the next value of a cheap
  // generator, so a call does not pay a system call for its map.
  // getrandom, not std::random_device: the latter pulls in a C library entry
  // point newer than the platforms the wheel is built for. A failed draw (no
  // such system call) leaves a per-thread address, which still varies.
  thread_local std::uint64_t state = [] {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
      seed = reinterpret_cast<std::uintptr_t>(&seed);
    }
    return seed;
  }();
  state += 0x9e3779b97f4a7c15ULL;
  return mix(state);
}

}  // namespace

KeyHash::KeyHash() : seed(randomSeed()) {}

namespace {

// Fewer distinct values than this stay on the calling thread.
constexpr std::size_t kParallelThreshold = 256;
// Values per pool task: enough for the strategies' batch roads, small enough
// that two threads still share a column evenly.
constexpr std::size_t kBatchGrain = 64;

// How many values ahead the first pass fetches a text. About as many as
// the hashing and map inserts of that many values take to hide one load
// from the last-level cache or memory.
constexpr std::size_t kTextLookahead = 8;

void prefetchText(const Input& input) noexcept {
  const Input::Kind kind = input.kind();
  if (kind == Input::Kind::Str || kind == Input::Kind::Decimal) __builtin_prefetch(input.text().data());
}

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
        constexpr std::size_t kGroup = 256;
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

}  // namespace

MaskedValues maskInputs(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues) {
  const std::size_t n = inputs.size();
  ResultCache* cache = masker.cache();
  MaskedValues result;
  result.at.resize(n);
  Vec<Pending> pending;
  // Per call: each keyed value's slot, whether it came from the cache or is
  // pending, so that every occurrence after the first costs one lookup. Keyed
  // by a pointer to the first occurrence and its hash: a 24-byte slot where a
  // view takes 48. It hashes with the cache's seed, so a value is hashed once
  // for both. Sized for the worst case (every value distinct) up front:
  // growing the maps and lists value by value costs more than the masking of
  // cheap strategies.
  const KeyHash hasher = cache != nullptr ? cache->map.hash_function() : KeyHash();
  boost::unordered_flat_map<InputRef, std::size_t, KeyHash, KeyEqual,
                            EngineAllocator<std::pair<const InputRef, std::size_t>>>
      seen(n, hasher);
  result.answers.reserve(n);
  pending.reserve(n);

  {
    std::unique_lock<std::mutex> lock;
    if (cache != nullptr) lock = std::unique_lock<std::mutex>(cache->mutex);
    const bool lookInCache = cache != nullptr && !cache->map.empty();
    for (std::size_t i = 0; i < n; ++i) {
      // A text longer than an Input holds inline is viewed in the str it was
      // read from, whose bytes have left the caches since: hashing it here is
      // their first touch. Fetched a few values ahead, its load overlaps the
      // hashing and map work of the values before.
      if (i + kTextLookahead < n) prefetchText(inputs[i + kTextLookahead]);
      const Input& input = inputs[i];
      auto key = KeyView::of(input);
      if (!key) {
        // Key-less values (None, bool, unsupported) are masked on their own, here.
        result.at[i] = result.answers.size();
        result.answers.push_back(masker.maskOne(inputs[i]));
        continue;
      }
      const std::size_t hash = hasher(*key);
      auto [slot, inserted] = seen.try_emplace(InputRef::of(&input, hash), result.answers.size());
      result.at[i] = slot->second;
      if (!inserted) continue;
      if (lookInCache) {
        auto hit = cache->map.find(HashedView{*key, hash});
        if (hit != cache->map.end()) {
          result.answers.push_back(hit->second);
          continue;
        }
      }
      pending.push_back(Pending{i, result.answers.size(), hash});
      result.answers.emplace_back();
    }
  }

  maskPending(masker, inputs, pending, result.answers);

  if (cache != nullptr && !pending.empty() && !cache->full.load(std::memory_order_relaxed)) {
    // The keys are built before the lock is taken (their texts copied, off
    // the lock's time) and moved in long after their stores, which a move
    // right after building would stall on.
    Vec<CacheKey> keys;
    Vec<const Output*> answers;
    keys.reserve(std::min(pending.size(), ResultCache::kCapacity));
    answers.reserve(keys.capacity());
    for (const Pending& p : pending) {
      if (keys.size() == ResultCache::kCapacity) break;
      const KeyView key = *KeyView::of(inputs[p.position]);
      const Output& answer = result.answers[p.slot];
      if (!cacheableKey(key) || !masker.strategy().caches(answer)) continue;
      keys.emplace_back(key, p.hash);
      answers.push_back(&answer);
    }
    std::lock_guard<std::mutex> lock(cache->mutex);
    // One growth to what this call can add, not a rehash at every doubling.
    cache->map.reserve(std::min(ResultCache::kCapacity, cache->map.size() + std::max(keys.size(), callValues)));
    for (std::size_t k = 0; k < keys.size() && cache->map.size() < ResultCache::kCapacity; ++k)
      cache->map.insert_or_assign(std::move(keys[k]), *answers[k]);
    if (cache->map.size() >= ResultCache::kCapacity) cache->full.store(true, std::memory_order_relaxed);
  }
  return result;
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

// Appends the converted values of a list, re-reading its length at every
// step: a value's repr() may shrink the list while it is read.
bool readList(PyObject* list, PyObject* decimalType, Vec<Input>& inputs, Vec<Ref>& kept) {
  const Py_ssize_t start = PyList_Size(list);
  inputs.reserve(static_cast<std::size_t>(start));
  kept.reserve(static_cast<std::size_t>(start));
  for (Py_ssize_t i = 0; i < start && i < PyList_Size(list); ++i) {
    Ref item = Ref::borrow(PyList_GetItem(list, i));
    if (!item || !readOne(item.get(), decimalType, inputs, kept)) return false;
  }
  return true;
}

bool readValues(PyObject* values, PyObject* decimalType, Vec<Input>& inputs, Vec<Ref>& kept) {
  if (PyList_Check(values)) return readList(values, decimalType, inputs, kept);
  if (PyTuple_Check(values)) {
    const Py_ssize_t size = PyTuple_Size(values);
    inputs.reserve(static_cast<std::size_t>(size));
    kept.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      Ref item = Ref::borrow(PyTuple_GetItem(values, i));
      if (!item || !readOne(item.get(), decimalType, inputs, kept)) return false;
    }
    return true;
  }
  inputs.reserve(lengthHint(values));
  Ref iterator = Ref::steal(PyObject_GetIter(values));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!readOne(item.get(), decimalType, inputs, kept)) return false;
  }
  return !PyErr_Occurred();
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
  for (std::size_t p = 0; p < n; ++p) {
    const Output& output = outputs[p];
    if (output.isProblem()) {
      Ref position = Ref::steal(PyLong_FromSize_t(p));
      Ref marker = Ref::steal(problemMarker(output));
      if (!position || !marker || PyDict_SetItem(problems.get(), position.get(), marker.get()) < 0) return nullptr;
    }
    PyObject* value = toPython(output, decimalType.get());
    if (value == nullptr) return nullptr;
    PyList_SetItem(masked.get(), static_cast<Py_ssize_t>(p), value);
  }
  return PyTuple_Pack(2, masked.get(), problems.get());
}

}  // namespace zorva::py
