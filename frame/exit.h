// Interpreter exit.
//
// Once the interpreter finalises, CPython ends every other thread that tries
// to take the interpreter lock back (a daemon thread inside a call, say) with
// pthread_exit. Its forced unwind runs the cleanups of the frames it passes,
// without the lock. So from the moment exit begins, only the thread that
// finalises lets go of references from a cleanup; any other leaves its objects
// alone, as a thread of plain Python code would. For the unwind to pass at
// all, no frame function that can run Python code is noexcept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace frame {

namespace detail {
inline std::atomic<bool> exit_begun{false};
bool on_exiting_thread() noexcept;
void release_last(PyObject *object) noexcept;
}  // namespace detail

// Lets go of one reference, from a cleanup that may run in any thread.
inline void release_reference(PyObject *object) noexcept
{
    if (detail::exit_begun.load(std::memory_order_relaxed) && !detail::on_exiting_thread()) [[unlikely]]
        return;
    // The last reference runs a deallocation, which may run Python code.
    if (Py_REFCNT(object) == 1)
        detail::release_last(object);
    else
        Py_DECREF(object);
}

// Has the interpreter that loaded this module begun to finalise? From then on
// its objects, this module's among them, are being torn down for good.
inline bool interpreter_exit_begun() noexcept { return detail::exit_begun.load(std::memory_order_acquire); }

// Asks to be told when the interpreter begins to exit; once per process, at
// the first create step. -1 with an exception set.
int watch_interpreter_exit();

}  // namespace frame
