#include "client/ClientEnvironment.h"

#include "platform/Clock.h"

CClientEnvironment MakeClientEnvironment()
{
    return {CreateClientConnection, DestroyClientConnection, platform::GetTickCount64};
}
