// Repeated calls that pass the same keyword arguments.
#pragma once

#include <initializer_list>

#include "common/ref.h"

namespace sorvane {

// Calls a callable many times with varying positional arguments and the same
// keyword arguments, taken once from a dict of str keys. The keywords go as
// vectorcall keyword names, so no dict is built per call here and every
// callee that wants a dict builds its own: a callee that alters its keyword
// dict cannot affect the next call.
//
// The dict is borrowed and must stay alive and unchanged while the caller is
// used; the collectors pass their own **event_data, which nothing else can
// reach.
class KeywordCaller {
public:
    // At most `max_positional` positional arguments per call.
    KeywordCaller(PyObject* keywords, Py_ssize_t max_positional);
    ~KeywordCaller();
    KeywordCaller(const KeywordCaller&) = delete;
    KeywordCaller& operator=(const KeywordCaller&) = delete;

    // callable(*positional, **keywords)
    Ref operator()(PyObject* callable, std::initializer_list<PyObject*> positional);

private:
    static constexpr Py_ssize_t kSmall = 16;
    Ref kwnames_;  // null when there are no keywords
    Py_ssize_t max_positional_;
    PyObject** stack_;  // [spare slot][positional...][keyword values...]
    PyObject* small_[kSmall];
};

}  // namespace sorvane
