#pragma once

#include <functional>

// Hands work from background threads to the application's main (user-interface) thread.
//
// Each call lands in one queue, guarded by a plain mutex, that the main thread drains from its event loop in
// the order of posting. The queue, not Qt's event plumbing, carries the work and its captured data, so the
// hand-over is a synchronisation that every tool (and every reader) can see: what the posting thread wrote
// before the call is visible to the work, and what the work wrote is visible to a thread that waited for it.
//
// Both calls do nothing and return false when there is no application object (at start-up or shutdown).

// Queues work for the main thread and returns at once. Called on the main thread itself, the work still
// waits for the event loop.
bool PostToMainThread(std::function<void()> work);

// Queues work for the main thread and waits until it has run; true once it ran. Called on the main thread,
// runs the work at once. A wait whose application object goes away ends with false: the work never runs.
bool RunOnMainThreadAndWait(std::function<void()> work);
