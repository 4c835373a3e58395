// Reading the items of a Python list, tuple or other iterable in order: the
// one walk behind every argument the module reads item by item.
#pragma once

#include <cstdint>

#include "shared/capi.h"

namespace zorva::py {

// Which containers readItems reads by index rather than through iter().
enum class ByIndex : std::uint8_t { Never, Lists, ListsAndTuples };

// Fetches nothing ahead.
struct NoFetch {
  template <class ItemAt>
  void operator()(Py_ssize_t, Py_ssize_t, const ItemAt&) const noexcept {}
};

// Calls each(item) for every item of iterator's iteration, in order, item
// held by a strong reference for the call; false as soon as each answers
// false (it has set an exception) or next() raises.
template <class Each>
bool readIterator(PyObject* iterator, Each&& each) {
  while (Ref item = Ref::steal(PyIter_Next(iterator))) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Calls each(item) for every item of items, in order, item held by a strong
// reference for the call; false with an exception set as soon as each
// answers false (it has set one) or the reading fails.
// - A list (unless byIndex is Never) is read by index, re-reading its
//   length at every step: an item's repr() may shrink the list while it is
//   read, and the reading then stops at its new end.
// - A tuple (with ListsAndTuples) is read by index: its items never change.
// - Anything else goes through iter() and next(): a str yields its
//   characters, and a list or tuple read this way runs its type's own
//   __iter__ (a subclass's included).
// fetchAhead(i, size, itemAt) runs before item i of a container read by
// index, of size items then; itemAt(j) is item j < size, borrowed. It may
// fetch later items' memory, never run Python code.
template <class Each, class Fetch = NoFetch>
bool readItems(PyObject* items, ByIndex byIndex, Each&& each, Fetch&& fetchAhead = {}) {
  if (byIndex != ByIndex::Never && PyList_Check(items)) {
    const auto itemAt = [items](Py_ssize_t j) noexcept { return PyList_GetItem(items, j); };
    const Py_ssize_t start = PyList_Size(items);
    for (Py_ssize_t i = 0; i < start; ++i) {
      const Py_ssize_t size = PyList_Size(items);
      if (i >= size) break;
      fetchAhead(i, size, itemAt);
      Ref item = Ref::borrow(PyList_GetItem(items, i));
      if (!item || !each(item.get())) return false;
    }
    return true;
  }
  if (byIndex == ByIndex::ListsAndTuples && PyTuple_Check(items)) {
    const auto itemAt = [items](Py_ssize_t j) noexcept { return PyTuple_GetItem(items, j); };
    const Py_ssize_t size = PyTuple_Size(items);
    for (Py_ssize_t i = 0; i < size; ++i) {
      fetchAhead(i, size, itemAt);
      Ref item = Ref::borrow(PyTuple_GetItem(items, i));
      if (!item || !each(item.get())) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(items));
  return iterator && readIterator(iterator.get(), each);
}

}  // namespace zorva::py
