#pragma once
// Where an error was made or passed on: file, full function signature, line.

struct FXCodeLocation {
  FXCodeLocation(const char* file, const char* function, int line)
      : m_szFile(file), m_szFunction(function), m_nLine(line) {}
  const char* m_szFile;
  const char* m_szFunction;
  int m_nLine;
};

#define FXCODELOC FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)
