#ifndef TECHNIC_TQRUNTIMEERROR_H
#define TECHNIC_TQRUNTIMEERROR_H

#include <exception>
#include <string>

#include "TechnicExport.h"

// The one exception type of the system. It carries a single message, which
// what() returns. Handle misuse (SafePointer) and record-library failures are
// thrown as TQRuntimeError; the source and destination of a backup job catch it
// at their public operations and turn it into a result code.
class TECHNIC_EXPORT TQRuntimeError : public std::exception {
  public:
    explicit TQRuntimeError(std::string message) : m_message(std::move(message)) {}
    ~TQRuntimeError() override = default;
    const char* what() const noexcept override { return m_message.c_str(); }

  private:
    std::string m_message;
};

#endif  // TECHNIC_TQRUNTIMEERROR_H
