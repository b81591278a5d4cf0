#include "OS_CPCQ_Executer.h"

#include "Platform.h"

#include <iostream>

namespace OS_CPCQ_Support {
void NameThread(const std::string& name)
{
    hl::Os().SetThreadName(name);
}

void ReportUnexpected(const std::string& name, int threadNumber, const char* where)
{
    std::cout << "--> pcqex:" << name << " -- thread:" << threadNumber
              << " -- unexpected exception in OS_CPCQ_Executer " << where << std::endl;
}
} // namespace OS_CPCQ_Support
