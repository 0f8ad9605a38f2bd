#include "DllModule.h"

CDllModule& CDllModule::Get()
{
    static CDllModule s_module;
    return s_module;
}
