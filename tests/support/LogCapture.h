#pragma once
// In-process tests of code that logs: while an object lives, the logger
// "default" writes "LEVEL message" lines to a file of its own.
#include "support/TestSupport.h"

#include <string>
#include <vector>

class CLogCapture
{
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // Every line so far, as the bytes written (Windows-1251), without CR LF.
    std::vector<std::string> Lines() const;
    // The same, read from the file without flushing the library (each line is
    // written out as it is logged): safe while another thread logs.
    std::vector<std::string> LinesWritten() const;

private:
    CTestFolder m_folder;
};
