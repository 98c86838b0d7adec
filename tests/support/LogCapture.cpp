#include "support/LogCapture.h"

#include "platform/TextConversion.h"

#include <easylogging++.h>

CLogCapture::CLogCapture()
{
    el::Configurations configuration;
    configuration.setToDefault();
    configuration.set(el::Level::Global, el::ConfigurationType::Filename, WideToAnsi(m_folder / L"engine.log"));
    configuration.set(el::Level::Global, el::ConfigurationType::ToFile, "true");
    configuration.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    configuration.set(el::Level::Global, el::ConfigurationType::Format, "%level %msg");
    el::Loggers::reconfigureLogger("default", configuration);
    el::Loggers::addFlag(el::LoggingFlag::ImmediateFlush);
}

CLogCapture::~CLogCapture()
{
    el::Loggers::removeFlag(el::LoggingFlag::ImmediateFlush);
    // Back to the library's defaults without a file, so that the folder can go.
    el::Configurations configuration;
    configuration.setToDefault();
    configuration.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    el::Loggers::reconfigureLogger("default", configuration);
}

std::vector<std::string> CLogCapture::Lines() const
{
    el::Loggers::flushAll();
    return LinesWritten();
}

std::vector<std::string> CLogCapture::LinesWritten() const
{
    return SplitLines(ReadBytes(m_folder / L"engine.log").value_or(""));
}
