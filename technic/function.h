#ifndef TECHNIC_FUNCTION_H
#define TECHNIC_FUNCTION_H

#include <type_traits>

#include "SafePointer.h"

// Type-erased callables with no arguments, as GThread takes its body and hooks.
//
// function<int> holds its callable in a function_obj_base<int> holder shared
// through a SafePointer: copies share one holder, and the last copy to go
// deletes it. A holder is immutable once built, so the thread that calls it
// needs no lock.

template <class R>
class function_obj_base;

template <>
class function_obj_base<int> {
  public:
    virtual ~function_obj_base() {}
    virtual int operator()() = 0;
};

template <class R, class F>
class function_obj;

template <class F>
class function_obj<int, F> : public function_obj_base<int> {
  public:
    explicit function_obj(const F& f) : m_callable(f) {}
    ~function_obj() override {}
    int operator()() override { return m_callable(); }

  private:
    F m_callable;
};

// Binds an object of class C to one of its member functions taking no
// arguments. The object is not owned and must outlive every call.
template <class R, class C>
class bind_funcobj0;

template <class C>
class bind_funcobj0<int, C> {
  public:
    typedef int (C::*Member)();
    bind_funcobj0(Member member, C* object) : m_member(member), m_object(object) {}
    int operator()() const { return (m_object->*m_member)(); }

  private:
    Member m_member;
    C* m_object;
};

template <class C>
bind_funcobj0<int, C> bind_funcobj(int (C::*member)(), C* object) {
    return bind_funcobj0<int, C>(member, object);
}

template <class R>
class function;

template <>
class function<int> {
  public:
    // An empty value; calling it throws TQRuntimeError through the handle's
    // "Use NULL pointer ->" report.
    function() = default;

    template <class F, class = std::enable_if_t<!std::is_same<std::decay_t<F>, function>::value>>
    function(F f) : m_holder(new function_obj<int, F>(f)) {}

    // Copies share the holder. Copying an empty value gives an empty value
    // (the handle alone would report it).
    function(const function& other) {
        if (!other.m_holder.isNull()) m_holder = other.m_holder;
    }
    function& operator=(const function& other) {
        if (this == &other) return *this;
        if (other.m_holder.isNull()) {
            m_holder.dec_reference();
        } else {
            m_holder = other.m_holder;
        }
        return *this;
    }
    virtual ~function() noexcept(false) {}

    int operator()() const { return (*m_holder.operator->())(); }

    // The shared holder (for tests).
    const SafePointer<function_obj_base<int>>& holder() const { return m_holder; }

  private:
    SafePointer<function_obj_base<int>> m_holder;
};

#endif  // TECHNIC_FUNCTION_H
