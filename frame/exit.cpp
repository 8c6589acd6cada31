#include "exit.h"

#include <unistd.h>

#include <thread>

#include "ref.h"

namespace frame {
namespace {

std::thread::id exiting_thread;  // written before exit_begun is set, read after

// Runs among the interpreter's exit functions, in the thread that finalises,
// before any daemon thread can be ended: those are ended only after them.
PyObject *note_exit(PyObject *, PyObject *)
{
    exiting_thread = std::this_thread::get_id();
    detail::exit_begun.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_interpreter_exit", note_exit, METH_NOARGS, nullptr};

}  // namespace

bool detail::on_exiting_thread() noexcept
{
    return exit_begun.load(std::memory_order_acquire) && exiting_thread == std::this_thread::get_id();
}

void detail::release_last(PyObject *object) noexcept
{
    try {
        Py_DECREF(object);
    } catch (...) {
        // Only pthread_exit's forced unwind comes out of the interpreter's C:
        // a finaliser gave up the lock just as the interpreter exited. The
        // thread is ended inside a cleanup, where unwinding cannot go on, so it
        // waits for the process to end instead. (Caught as `...`: a forced
        // unwind has no exception object to bind a reference to.)
        for (;;)
            pause();
    }
}

int watch_interpreter_exit()
{
    static bool watching = false;
    if (watching)
        return 0;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = Ref::steal(PyCFunction_New(&note_exit_def, nullptr));
    if (!atexit || !hook)
        return -1;
    Ref registered = Ref::steal(PyObject_CallMethod(atexit, "register", "O", hook.get()));
    if (!registered)
        return -1;
    watching = true;
    return 0;
}

}  // namespace frame
