// The state of the recorder module: one struct, reached through recorder_state().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"
#include "zentaro/state.hpp"

namespace recorder {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define RECORDER_NAMES(X) \
    X(_env) X(ALL) X(datetime) X(encode) X(error) X(ERROR) X(has_error) X(info) X(INFO) \
    X(is_limit) X(json) X(JSONEncoder) X(key) X(LIMIT_MSG) X(limited) X(LOG_LIMIT_NUM) X(log_num) \
    X(log_tofile) X(lower) X(message) X(self) X(system_log) X(user_normal_log) X(warn) X(WARN) \
    X(wraps)
// clang-format on

struct RecorderNames {
#define RECORDER_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    RECORDER_NAMES(RECORDER_NAMES_DECLARE)
#undef RECORDER_NAMES_DECLARE
    PyObject *const default_ = interned("default");
    PyObject *const dunder_name = interned("__name__");
    PyObject *const encode_failed = interned("回测标示编码失败！");
    PyObject *const notice = interned("日志条数超过限制,以下日志省略");
    PyObject *const space = interned(" ");
    PyObject *const utf_8 = interned("utf-8");
};

struct RecorderState {
    RecorderNames names;
    // b"", the key of a log that is not keyed.
    PyObject *const empty_bytes =
        zentaro::steal_or_raise(PyBytes_FromStringAndSize("", 0)).release().ptr();
    // Read on every log line; replacing them (as tests and runners do) is seen at once.
    zentaro::CachedAttr user_log_attr{"user_normal_log"};
    zentaro::CachedAttr environment_attr{"Environment"};
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is recorder's alone.
inline RecorderState &recorder_state() {
    static RecorderState *const state = new RecorderState();
    return *state;
}

} // namespace recorder
