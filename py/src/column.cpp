// maskInputs (de-duplication, the result cache, the pool) and maskColumn.
#include "column.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <exception>
#include <functional>
#include <random>

#include "masker.h"
#include "pool.h"

namespace zorva::py {

std::optional<KeyView> KeyView::of(const Input& input) noexcept {
  switch (input.kind) {
    case Input::Kind::Str:
      return KeyView{Kind::Str, 0, nullptr, input.text};
    case Input::Kind::Int:
      return KeyView{Kind::Int, 0, &input.integer, {}};
    case Input::Kind::Float:
      return KeyView{Kind::Float, std::bit_cast<std::uint64_t>(input.real), nullptr, {}};
    case Input::Kind::Decimal:
      return KeyView{Kind::Decimal, 0, nullptr, input.text};
    default:
      return std::nullopt;
  }
}

bool operator==(const KeyView& a, const KeyView& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case KeyView::Kind::Int:
      return *a.integer == *b.integer;
    case KeyView::Kind::Float:
      return a.bits == b.bits;
    default:
      return a.text == b.text;
  }
}

CacheKey CacheKey::fromView(const KeyView& view) {
  CacheKey key;
  key.kind = view.kind;
  key.bits = view.bits;
  if (view.integer != nullptr) key.integer = *view.integer;
  key.text.assign(view.text.data(), view.text.size());
  return key;
}

std::optional<CacheKey> CacheKey::of(const Input& input) {
  auto view = KeyView::of(input);
  if (!view) return std::nullopt;
  return fromView(*view);
}

namespace {

std::uint64_t mix(std::uint64_t x) noexcept {
  // splitmix64's finaliser.
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t randomSeed() {
  // One OS draw per thread; each map then takes the next value of a cheap
  // generator, so a call does not pay a system call for its map.
  thread_local std::uint64_t state = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }();
  state += 0x9e3779b97f4a7c15ULL;
  return mix(state);
}

}  // namespace

KeyHash::KeyHash() : seed(randomSeed()) {}

std::size_t KeyHash::operator()(const KeyView& key) const noexcept {
  std::uint64_t h;
  switch (key.kind) {
    case KeyView::Kind::Int:
      h = key.integer->hash();
      break;
    case KeyView::Kind::Float:
      h = key.bits;
      break;
    default:
      h = std::hash<std::string_view>()(key.text);
      break;
  }
  return mix(h ^ seed ^ (static_cast<std::uint64_t>(key.kind) << 56));
}

namespace {

constexpr std::size_t kNotPending = static_cast<std::size_t>(-1);
// Fewer distinct values than this stay on the calling thread.
constexpr std::size_t kParallelThreshold = 256;

bool cacheable(const KeyView& key, const Output& output) noexcept {
  if (output.kind != Output::Kind::Int && output.kind != Output::Kind::Str) return false;
  return !(key.kind == KeyView::Kind::Str && key.text.size() > ResultCache::kLongestText);
}

// Masks inputs[distinct[k]] into masked[k] for every k, on the pool when it
// pays. The pool's body must not throw: the first exception is carried out
// and rethrown here.
void maskDistinct(const Masker& masker, const Vec<Input>& inputs, const Vec<std::size_t>& distinct,
                  Vec<Output>& masked) {
  std::shared_ptr<Pool> pool =
      distinct.size() >= kParallelThreshold ? currentPool() : std::shared_ptr<Pool>();
  if (!pool) {
    for (std::size_t k = 0; k < distinct.size(); ++k) masked[k] = masker.maskOne(inputs[distinct[k]]);
    return;
  }
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  parallelFor(pool, distinct.size(), [&](std::size_t begin, std::size_t end) {
    try {
      for (std::size_t k = begin; k < end; ++k) masked[k] = masker.maskOne(inputs[distinct[k]]);
    } catch (...) {
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

Vec<Output> maskInputs(const Masker& masker, const Vec<Input>& inputs) {
  const std::size_t n = inputs.size();
  ResultCache* cache = masker.cache();
  Vec<Output> result(n);
  // For each position, the index k of its distinct value, or kNotPending when
  // result already holds its output.
  Vec<std::size_t> pending(n, kNotPending);
  Vec<std::size_t> distinct;
  boost::unordered_flat_map<KeyView, std::size_t, KeyHash, KeyEqual,
                            EngineAllocator<std::pair<const KeyView, std::size_t>>>
      seen;

  {
    std::unique_lock<std::mutex> lock;
    if (cache != nullptr) lock = std::unique_lock<std::mutex>(cache->mutex);
    const bool lookInCache = cache != nullptr && !cache->map.empty();
    for (std::size_t i = 0; i < n; ++i) {
      auto key = KeyView::of(inputs[i]);
      if (!key) {
        result[i] = masker.maskOne(inputs[i]);
        continue;
      }
      if (lookInCache) {
        auto hit = cache->map.find(*key);
        if (hit != cache->map.end()) {
          result[i] = hit->second;
          continue;
        }
      }
      auto [slot, inserted] = seen.try_emplace(*key, distinct.size());
      if (inserted) distinct.push_back(i);
      pending[i] = slot->second;
    }
  }

  Vec<Output> masked(distinct.size());
  maskDistinct(masker, inputs, distinct, masked);

  if (cache != nullptr && !distinct.empty()) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    for (std::size_t k = 0; k < distinct.size(); ++k) {
      if (cache->map.size() >= ResultCache::kCapacity) break;
      KeyView key = *KeyView::of(inputs[distinct[k]]);
      if (!cacheable(key, masked[k])) continue;
      cache->map.insert_or_assign(CacheKey::fromView(key), masked[k]);
    }
  }

  // Backwards, so that a distinct value's first position (the last one met
  // here) takes the output itself and every other position a copy.
  for (std::size_t i = n; i-- > 0;) {
    std::size_t k = pending[i];
    if (k == kNotPending) continue;
    if (distinct[k] == i)
      result[i] = std::move(masked[k]);
    else
      result[i] = masked[k];
  }
  return result;
}

namespace {

// Appends the converted values of a list, re-reading its length at every
// step: a value's repr() may shrink the list while it is read.
bool readList(PyObject* list, PyObject* decimalType, Vec<Input>& inputs) {
  const Py_ssize_t start = PyList_Size(list);
  inputs.reserve(static_cast<std::size_t>(start));
  for (Py_ssize_t i = 0; i < start && i < PyList_Size(list); ++i) {
    Ref item = Ref::borrow(PyList_GetItem(list, i));
    if (!item) return false;
    inputs.emplace_back();
    if (!convert(item.get(), decimalType, inputs.back())) return false;
  }
  return true;
}

bool readValues(PyObject* values, PyObject* decimalType, Vec<Input>& inputs) {
  if (PyList_Check(values)) return readList(values, decimalType, inputs);
  if (PyTuple_Check(values)) {
    const Py_ssize_t size = PyTuple_Size(values);
    inputs.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      Ref item = Ref::borrow(PyTuple_GetItem(values, i));
      if (!item) return false;
      inputs.emplace_back();
      if (!convert(item.get(), decimalType, inputs.back())) return false;
    }
    return true;
  }
  Py_ssize_t hint = PyObject_Size(values);
  if (hint < 0) PyErr_Clear();
  inputs.reserve(std::min<std::size_t>(hint < 0 ? 0 : static_cast<std::size_t>(hint), kReserveHintCap));
  Ref iterator = Ref::steal(PyObject_GetIter(values));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    inputs.emplace_back();
    if (!convert(item.get(), decimalType, inputs.back())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

PyObject* maskColumn(const Masker& masker, PyObject* values) {
  Ref decimalType;
  if (masker.strategy().isNumber()) {
    decimalType = Ref::steal(importDecimalType());
    if (!decimalType) return nullptr;
  }
  Vec<Input> inputs;
  if (!readValues(values, decimalType.get(), inputs)) return nullptr;

  Vec<Output> outputs;
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
      if (!position || !marker || PyDict_SetItem(problems.get(), position.get(), marker.get()) < 0)
        return nullptr;
    }
    PyObject* value = toPython(output, decimalType.get());
    if (value == nullptr) return nullptr;
    PyList_SetItem(masked.get(), static_cast<Py_ssize_t>(p), value);
  }
  return PyTuple_Pack(2, masked.get(), problems.get());
}

}  // namespace zorva::py
