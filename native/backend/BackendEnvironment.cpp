#include "backend/BackendEnvironment.h"

#include <algorithm>

extern char** environ;

namespace zvui {

Environment currentEnvironment() {
  Environment result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    result.emplace_back(*entry);
  }
  return result;
}

void setEnvironmentVariable(Environment& environment, std::string_view name,
                            std::string_view value) {
  std::erase_if(environment, [name](const std::string& entry) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
  });
  std::string entry;
  entry.reserve(name.size() + 1 + value.size());
  entry.append(name).append("=").append(value);
  environment.push_back(std::move(entry));
}

Environment backendEnvironment(Environment inherited) {
  setEnvironmentVariable(inherited, "TAMRIK_PORT", "0");
  setEnvironmentVariable(inherited, "TAMRIK_APP_MODE", "1");
  return inherited;
}

}  // namespace zvui
