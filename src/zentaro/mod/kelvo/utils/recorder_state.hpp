// The state of the recorder module: one struct, reached through recorder_state().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"
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

// The names spelt otherwise than their members (texts, dunders, keywords).
// clang-format off
#define RECORDER_SPELT_NAMES(X) \
    X(default_, "default") X(dunder_name, "__name__") X(encode_failed, "回测标示编码失败！") \
    X(notice, "日志条数超过限制,以下日志省略") X(space, " ") X(utf_8, "utf-8")
// clang-format on

struct RecorderNames {
    RECORDER_NAMES(ZT_NAME_MEMBER)
    RECORDER_SPELT_NAMES(ZT_SPELT_NAME_MEMBER)
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

// The module's state.
inline RecorderState &recorder_state() {
    return zentaro::process_state<RecorderState>();
}

} // namespace recorder
