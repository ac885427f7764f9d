// Test environment: every test program runs in a private temporary HOME with its own XDG folders,
// the offscreen Qt platform and the null sound sink, so no test touches the real user's files.
#pragma once
#include <string>

namespace tavelo::test {

// The private folder made for this test process (removed when the process ends).
const std::string& TempRoot();

// A fresh, empty folder below TempRoot() for one test.
std::string MakeTempDir(const std::string& hint);

// Writes bytes to a file; fails the calling test on error.
void WriteFile(const std::string& path, const std::string& bytes);

// Reads a whole file; an empty string when it cannot be read.
std::string ReadFile(const std::string& path);

// Path of a fixture below tests/data (source tree).
std::string DataPath(const std::string& name);

}  // namespace tavelo::test

namespace tavelo::test {
// Path of generated test media: <build>/test-data/<script name>/<file>
// (made by tests/data/generate/<script name>.sh).
std::string MediaPath(const std::string& name);
}  // namespace tavelo::test
