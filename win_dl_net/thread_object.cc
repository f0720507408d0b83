#include "win_dl_net/thread_object.h"

#include <system_error>

#include "launcher/log/logger.h"
#include "platform/process.h"

ThreadObject::ThreadObject(bool go) : m_bGo(go) {}

ThreadObject::~ThreadObject() {
  m_bDestroyed = true;
  std::lock_guard<std::mutex> hold(m_waitMutex);
  bool own_thread = m_hThread.joinable() && m_hThread.get_id() == std::this_thread::get_id();
  if (m_bRunning && m_hThread.joinable() && !own_thread) {
    // Give a thread that polls the flag time to leave.
    m_bGo = true;
    m_bRunning = false;
    platform::SleepMs(1000);
  }
  if (m_hThread.joinable()) m_hThread.detach();
}

void ThreadObject::Stop() { m_bRunning = false; }

void ThreadObject::Wait() {
  // The thread itself never waits for its own end (and must not queue behind
  // another waiter that is waiting for it).
  if (m_nThreadId.load() == platform::CurrentThreadId()) return;
  std::lock_guard<std::mutex> hold(m_waitMutex);
  if (!m_hThread.joinable() || m_hThread.get_id() == std::this_thread::get_id()) return;
  m_hThread.join();
}

bool ThreadObject::Start() {
  // A Wait on another thread reads the handle under the same lock.
  std::lock_guard<std::mutex> hold(m_waitMutex);
  if (m_hThread.joinable()) return false;
  try {
    m_hThread = std::thread(&ThreadObject::ThreadProc, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ThreadObject::ThreadProc(ThreadObject* self) {
  self->m_nThreadId = platform::CurrentThreadId();
  while (self->m_bRunning && !self->m_bGo) platform::SleepMs(1000);
  if (self->m_bRunning) {
    try {
      self->Run();
    } catch (...) {
      // Run reports its own failures; nothing may unwind out of a thread.
      LogError() << "thread body exception";
    }
  }
  self->m_bRunning = false;
  if (self->m_bAutoDelete && !self->m_bDestroyed) delete self;
}
