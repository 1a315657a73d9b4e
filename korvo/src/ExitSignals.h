#pragma once
// Termination signals while servo loops run.
//
// SIGTERM (kill, service managers), SIGHUP (a closed terminal) and SIGINT
// end a process at once by default, and a servo loop would leave its last
// force on the arm. While any loop runs, each of them whose disposition is
// the default gets a handler of this layer's. The handler only wakes a thread
// of ours, which ends every loop (each sends its zero force), gives the
// signal its default disposition again and raises it: the process ends as it
// would have, with the same status, after the zero forces. A handler of the
// program's own (Python's for SIGINT, say) is never replaced, and one the
// program installs while loops run is kept.
//
// Thread safety: Arm and Disarm are called under the registry of running
// loops; the fork functions from pthread_atfork handlers.

namespace Korvo::Haptics::ExitSignals {

// The first loop started: the signals left at their default go to `stop_all`
// first (which must end every loop, and call Disarm).
void Arm(void (*stop_all)() noexcept);
// No loop runs any more: the default again where our handler is still
// installed.
void Disarm() noexcept;

// Around fork(): the child has no thread of ours and no loop, so signals
// there take their default course.
void BeforeFork() noexcept;
void AfterForkInParent() noexcept;
void AfterForkInChild() noexcept;

}  // namespace Korvo::Haptics::ExitSignals
