// ThreadObject: a thread and the object whose Run it executes.
//
// The object is created first; Start creates the thread, which waits while
// `go` is not set, calls Run while `running` is still set, clears `running`
// and, when autodelete is set, deletes the object. Run polls IsRunning() and
// returns soon after Stop.
//
// A ThreadObject runs once: `running` starts true and is never set again.
//
// REQUIRES: a derived class whose Run uses its own members stops and waits for
// the thread before those members go away (in its destructor at the latest);
// the base destructor cannot wait, because the derived part is gone by then.
#ifndef WIN_DL_NET_THREAD_OBJECT_H_
#define WIN_DL_NET_THREAD_OBJECT_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class ThreadObject {
 public:
  explicit ThreadObject(bool go = true);
  virtual ~ThreadObject();
  ThreadObject(const ThreadObject&) = delete;
  ThreadObject& operator=(const ThreadObject&) = delete;

  // Clears `running`; the thread leaves Run at its next poll.
  virtual void Stop();
  // Blocks until the thread has ended and releases it. Nothing to do when no
  // thread is held (never started, or waited for already) or when called from
  // the thread itself. Several threads may wait at once (a cancel waits while
  // the owner waits too): all of them return once the thread has ended.
  virtual void Wait();
  // The thread body.
  virtual int Run() = 0;

  // Creates the thread (default stack size). False when it cannot be created
  // or a thread is held already.
  bool Start();
  bool IsRunning() const { return m_bRunning.load(); }
  void SetAutoDelete(bool autodelete) { m_bAutoDelete = autodelete; }
  // Lets a thread started before `go` leave its wait (within 1000 ms).
  void SetGo(bool go) { m_bGo = go; }
  // Id of the thread, 0 until it has begun.
  uint32_t ThreadId() const { return m_nThreadId.load(); }

 private:
  static void ThreadProc(ThreadObject* self);

  std::thread m_hThread;
  std::mutex m_waitMutex;  // serialises joining m_hThread
  std::atomic<uint32_t> m_nThreadId{0};
  std::atomic<bool> m_bRunning{true};
  std::atomic<bool> m_bGo;
  std::atomic<bool> m_bAutoDelete{false};
  std::atomic<bool> m_bDestroyed{false};
};

#endif  // WIN_DL_NET_THREAD_OBJECT_H_
