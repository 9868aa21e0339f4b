#include <qara/nimb/Exceptions.hpp>

extern "C" int nimbTestAnswer(int x)
{
    return x * 2;
}

// Host exceptions must stay catchable by type across a RTLD_LOCAL boundary.
extern "C" void nimbTestThrow()
{
    throw qara::nimb::IllegalStateException("thrown by the plug-in");
}
