/* c_caller.c - uses the engine from C: the header compiles as C and the names link unmangled. */
#include "engine/vantrel_engine.h"

static int32_t VANTREL_CALL ignoreRequest(uint32_t deviceId, uint64_t sector, uint32_t sectors, uint32_t thread)
{
    (void)deviceId;
    (void)sector;
    (void)sectors;
    (void)thread;
    return 0;
}

uint32_t cCallerMemoryNeed(uint32_t threads)
{
    uint32_t need = 0;
    passGlobals(3400, ENGINE_TYPE_6_4, false, 1, 65536, 0, 0, 0, 0, 0, 0, 0);
    vantrel_init(ignoreRequest, 0, threads, &need);
    return need;
}

int32_t cCallerAbortTwice(void)
{
    vantrel_abort(0);
    return vantrel_abort(0);
}
