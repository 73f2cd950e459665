// The environment the live tests get from the test servers' fixture.
#ifndef TESTS_SUPPORT_ENV_H_
#define TESTS_SUPPORT_ENV_H_

#include <cstdlib>
#include <string>

// The value of the environment variable `name`, or "" when it is unset.
inline std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

#endif  // TESTS_SUPPORT_ENV_H_
