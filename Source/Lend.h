// Lend<T>: points a slot at an object for the life of a scope. Not
// installed and not exported.
#pragma once

namespace tzrecon {

// Points `slot` at an object for the life of the scope, so that the
// lister's methods reach what the current walk holds, and never beyond it.
template <typename T>
class Lend {
 public:
  Lend(T*& slot, T* object) : m_slot(slot) { m_slot = object; }
  ~Lend() { m_slot = nullptr; }
  Lend(const Lend&) = delete;
  Lend& operator=(const Lend&) = delete;

 private:
  T*& m_slot;
};

}  // namespace tzrecon
