#include "platform/error/qi_error.h"

#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <utility>
#include <vector>

#include "platform/text/format.h"

struct CQiError::Frame {
  std::string file;
  std::string function;
  int line = 0;
  std::string message;
  Kind kind = Kind::kNone;     // set on the origin frame only
  long long code = 0;          // the code the failure was made with
  std::shared_ptr<const Frame> next;  // towards the origin
};

CQiError& CQiError::Success() {
  m_nCode = 0;
  m_pDetail.reset();
  return *this;
}

CQiError CQiError::Make(Kind kind, long long code, const FXCodeLocation& location, std::string message) {
  CQiError error;
  if (code == 0) code = -1;
  // A Windows-style code with its top bit set is already negative as a
  // 32-bit value; masking that bit off instead could leave 0 (success).
  const int asInt = static_cast<int>(static_cast<uint32_t>(code));
  error.m_nCode = asInt < 0 ? asInt : -asInt;
  auto frame = std::make_shared<Frame>();
  frame->file = location.m_szFile ? location.m_szFile : "";
  frame->function = location.m_szFunction ? location.m_szFunction : "";
  frame->line = location.m_nLine;
  frame->message = std::move(message);
  frame->kind = kind;
  frame->code = code;
  error.m_pDetail = std::move(frame);
  return error;
}

CQiError& CQiError::Push(const FXCodeLocation& location) {
  auto frame = std::make_shared<Frame>();
  frame->file = location.m_szFile ? location.m_szFile : "";
  frame->function = location.m_szFunction ? location.m_szFunction : "";
  frame->line = location.m_nLine;
  frame->next = m_pDetail;
  if (m_pDetail) {
    frame->kind = m_pDetail->kind;
    frame->code = m_pDetail->code;
  }
  m_pDetail = std::move(frame);
  return *this;
}

CQiError& CQiError::Push(const FXCodeLocation& location, const char* format, ...) {
  Push(location);
  va_list args;
  va_start(args, format);
  std::string message = platform::VFormat(format, args);
  va_end(args);
  const_cast<Frame*>(m_pDetail.get())->message = std::move(message);  // frame not yet shared
  return *this;
}

std::string CQiError::FirstMessage() const {
  std::string first;
  for (const Frame* f = m_pDetail.get(); f != nullptr; f = f->next.get())
    if (!f->message.empty()) first = f->message;
  return first;
}

CQiError::Kind CQiError::GetKind() const { return m_pDetail ? m_pDetail->kind : Kind::kNone; }

long long CQiError::GetOriginalCode() const {
  if (!m_pDetail) return m_nCode;
  return m_pDetail->code;
}

std::string CQiError::GetMessage() const {
  const Frame* origin = nullptr;
  for (const Frame* f = m_pDetail.get(); f != nullptr; f = f->next.get()) origin = f;
  return origin ? origin->message : std::string();
}

std::string CQiError::AsString() const {
  std::string text = platform::Format("code=%d", m_nCode);
  if (!m_pDetail) return text;
  // Frames are linked from the last caller to the origin; print origin first.
  std::vector<const Frame*> frames;
  for (const Frame* f = m_pDetail.get(); f != nullptr; f = f->next.get()) frames.push_back(f);
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    const Frame& f = **it;
    text += platform::Format(" | %s:%d %s", f.file.c_str(), f.line, f.function.c_str());
    if (!f.message.empty()) text += ": " + f.message;
  }
  return text;
}

namespace {

std::string FormatArgs(const char* format, va_list args) { return platform::VFormat(format, args); }

}  // namespace

CQiError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int code) {
  return CQiError::Make(CQiError::Kind::kErrNo, code, location, std::string());
}

CQiError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatArgs(format, args);
  va_end(args);
  return CQiError::Make(CQiError::Kind::kErrNo, code, location, std::move(message));
}

CQiError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned code) {
  return CQiError::Make(CQiError::Kind::kWin32, static_cast<long long>(code), location, std::string());
}

CQiError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatArgs(format, args);
  va_end(args);
  return CQiError::Make(CQiError::Kind::kWin32, static_cast<long long>(code), location, std::move(message));
}

CQiError FXErrorUtil::ErrorEventMessage(const FXCodeLocation& location, unsigned eventId, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatArgs(format, args);
  va_end(args);
  return CQiError::Make(CQiError::Kind::kWin32, static_cast<long long>(eventId), location, std::move(message));
}

CQiError FXErrorUtil::ErrorFromErrno(const FXCodeLocation& location, const char* format, ...) {
  const int saved = errno;
  va_list args;
  va_start(args, format);
  std::string message = FormatArgs(format, args);
  va_end(args);
  return CQiError::Make(CQiError::Kind::kErrNo, saved != 0 ? saved : -1, location, std::move(message));
}

bool FXErrorUtil::IsErrNo(const CQiError& error) {
  return error.IsError() && error.GetKind() == CQiError::Kind::kErrNo;
}

bool FXErrorUtil::IsErrNo(const CQiError& error, int code) {
  return IsErrNo(error) && error.GetOriginalCode() == code;
}

bool FXErrorUtil::IsWin32(const CQiError& error) {
  return error.IsError() && error.GetKind() == CQiError::Kind::kWin32;
}

bool FXErrorUtil::IsWin32(const CQiError& error, unsigned code) {
  return IsWin32(error) && error.GetOriginalCode() == static_cast<long long>(code);
}

int FXErrorUtil::GetErrNo(const CQiError& error) {
  return IsErrNo(error) ? static_cast<int>(error.GetOriginalCode()) : 0;
}

unsigned FXErrorUtil::GetWin32(const CQiError& error) {
  return IsWin32(error) ? static_cast<unsigned>(error.GetOriginalCode()) : 0;
}

long long FXErrorUtil::GetCode(const CQiError& error) {
  return error.IsError() ? error.GetOriginalCode() : 0;
}
