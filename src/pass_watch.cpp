#include "pass_watch.h"

#include <algorithm>
#include <cstring>

#include "input_source.h"

namespace {

// The pass this thread runs a part of, and what its checks run first.
thread_local PassWatch* t_watch = nullptr;
thread_local const PassWatch::Poll* t_poll = nullptr;

}  // namespace

PassWatch::Scope::Scope(PassWatch* watch, const Poll* poll)
    : m_outerWatch(t_watch), m_outerPoll(t_poll) {
  t_watch = watch;
  t_poll = poll;
}

PassWatch::Scope::~Scope() {
  t_watch = m_outerWatch;
  t_poll = m_outerPoll;
}

PassWatch* PassWatch::current() { return t_watch; }

void PassWatch::checkCurrent() {
  if (t_watch == nullptr) return;
  if (t_poll != nullptr && *t_poll) (*t_poll)();
  if (t_watch->cancelled()) throw PassStopped();
}

WatchedInput::WatchedInput(std::istream& in, const InputSource* decoded)
    : m_in(in), m_watch(PassWatch::current()), m_decoded(decoded) {
  if (m_watch == nullptr) return;
  m_source = in.rdbuf();
  // Swapping the buffer clears the state, which tells whether the file opened.
  const std::ios::iostate state = in.rdstate();
  in.rdbuf(this);
  in.clear(state);
}

WatchedInput::~WatchedInput() {
  if (m_source) m_in.rdbuf(m_source);
}

void WatchedInput::count(std::streamsize got) {
  if (!m_decoded) {
    m_watch->add(static_cast<uint64_t>(std::max<std::streamsize>(got, 0)));
    return;
  }
  const uint64_t now = m_decoded->bytesRead();
  m_watch->add(now - m_fileBytes);
  m_fileBytes = now;
}

WatchedInput::int_type WatchedInput::underflow() {
  PassWatch::checkCurrent();
  const std::streamsize got = m_source->sgetn(m_buffer, BUFFER_BYTES);
  count(got);
  if (got <= 0) return traits_type::eof();
  setg(m_buffer, m_buffer, m_buffer + got);
  return traits_type::to_int_type(m_buffer[0]);
}

std::streamsize WatchedInput::xsgetn(char* out, std::streamsize n) {
  const std::streamsize held = std::min<std::streamsize>(n, egptr() - gptr());
  if (held > 0) {
    std::memcpy(out, gptr(), static_cast<size_t>(held));
    gbump(static_cast<int>(held));
  }
  if (held == n) return held;
  PassWatch::checkCurrent();
  const std::streamsize got = m_source->sgetn(out + held, n - held);
  count(got);
  return held + std::max<std::streamsize>(got, 0);
}
