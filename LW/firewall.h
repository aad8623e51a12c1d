// The firewall at every entry the host calls: nothing the plug-in throws, nor
// anything a host service throws through it, may unwind into the host.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "base/string.h"

enum class FailureTo {
  User,  // the report sink: a box in a desktop host
  Host,  // the host's "Info Messages 2" error, when it has one (frames)
};

// Where an entry whose interface returns an error text keeps it: storage that
// outlives the call, as the host may read the text after the entry returned.
struct FailureText {
  char text[512] = {};
};

// Tells a failure that escaped an entry, and keeps its text in keep when
// there is one. Never throws.
void tell_failure(const Xception* e, const char* text, FailureTo to,
                  FailureText* keep = nullptr) noexcept;

// Runs work; whatever it throws is told and swallowed. False when it threw,
// so that the entry can return its neutral answer (or keep's text).
template <class Work>
bool firewall(Work&& work, FailureTo to = FailureTo::User, FailureText* keep = nullptr) noexcept {
  try {
    work();
    return true;
  } catch (const Xception& e) {
    tell_failure(&e, nullptr, to, keep);
  } catch (const std::bad_alloc&) {
    tell_failure(nullptr, "Out of memory", to, keep);
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: memory, in the user's words.
    tell_failure(nullptr, "Out of memory", to, keep);
  } catch (const std::exception& e) {
    tell_failure(nullptr, e.what(), to, keep);
  } catch (...) {
    tell_failure(nullptr, "unknown error", to, keep);
  }
  return false;
}
