#include "host/OruTSP.h"

namespace {
thread_local uint64_t t_requestId = 0;
}

uint64_t* OruTSP::get(OruTSPKey /*key*/)
{
    return &t_requestId;
}

void OruTSP::reset(uint64_t value)
{
    t_requestId = value;
}
