// Reading a validated Arrow column as the row door's inputs: row by row, or
// each distinct value once with the rows mapped to it. No Python in here.
#pragma once

#include <cstddef>

#include "shared/values.h"
#include "arrow/writer.h"

namespace zorva::arrow {

// The number of inputs a column gives: its rows, or its dictionaries' entries.
std::size_t inputCount(const ColumnJob& job);

// Inputs [from, to) of the column, its batches' inputs one after another.
void readInputs(const ColumnJob& job, std::size_t from, std::size_t to, Vec<py::Input>& inputs);

// Whether readDistinct reads the column: every value it holds has a key
// that its stored bytes decide (texts, integers, and the numbers a number
// strategy reads), and no dictionary.
bool readsDistinct(const ColumnJob& job);

// The number of distinct values (the nulls counting as one) among the
// first rows of such a column.
std::size_t countDistinct(const ColumnJob& job, std::size_t rows);

// Rows [from, to) of such a column with their de-duplication done here, on
// the bytes the values are stored in: inputs gets each distinct value once
// (and one None for all null rows), in order of first occurrence, and
// at[r - from] = base + the index of row r's input. Within one column equal
// bytes are equal values (one width, one scale), so this groups rows as the
// inputs' own keys would, or more finely (a float32's two NaNs of one
// payload), which only masks an equal value twice.
void readDistinct(const ColumnJob& job, std::size_t from, std::size_t to, Vec<py::Input>& inputs, std::size_t* at,
                  std::size_t base);

}  // namespace zorva::arrow
