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

// Tells a failure that escaped an entry. Never throws.
void tell_failure(const Xception* e, const char* text, FailureTo to) noexcept;

// Runs work; whatever it throws is told and swallowed. False when it threw,
// so that the entry can return its neutral answer.
template <class Work>
bool firewall(Work&& work, FailureTo to = FailureTo::User) noexcept {
  try {
    work();
    return true;
  } catch (const Xception& e) {
    tell_failure(&e, nullptr, to);
  } catch (const std::bad_alloc&) {
    tell_failure(nullptr, "Out of memory", to);
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: memory, in the user's words.
    tell_failure(nullptr, "Out of memory", to);
  } catch (const std::exception& e) {
    tell_failure(nullptr, e.what(), to);
  } catch (...) {
    tell_failure(nullptr, "unknown error", to);
  }
  return false;
}
