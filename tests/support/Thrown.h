// Catching the texts that the program throws as bare text pointers.
#ifndef TESTS_SUPPORT_THROWN_H_
#define TESTS_SUPPORT_THROWN_H_

#include <string>

// The text `action` throws, or "" when it throws none.
template <typename F>
std::string Thrown(F action) {
  try {
    action();
  } catch (const char* text) {
    return text;
  }
  return "";
}

#endif  // TESTS_SUPPORT_THROWN_H_
