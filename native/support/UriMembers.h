#pragma once

#include <uriparser/Uri.h>

namespace zvui {

// What uriparser fills in while parsing an address, freed when it goes out of scope.
struct UriMembers {
  UriMembers() = default;
  UriMembers(const UriMembers&) = delete;
  UriMembers& operator=(const UriMembers&) = delete;
  ~UriMembers() { uriFreeUriMembersA(&uri); }

  UriUriA uri{};
};

}  // namespace zvui
