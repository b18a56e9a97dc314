#pragma once

#include <stdexcept>

// An error the text file classes hand to their caller: no open stream, a read on a writer,
// a write on a reader, a counter overflow, a stream failure.
class TextFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
