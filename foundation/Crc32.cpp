#include "foundation/Crc32.h"

#include <boost/crc.hpp>

uint32_t Crc32(const void* data, size_t length)
{
    boost::crc_optimal<32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, true, true> crc;
    crc.process_bytes(data, length);
    return crc.checksum();
}
