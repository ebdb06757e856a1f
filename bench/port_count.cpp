#include "port_count.h"

#include "velmo_port.h"

#include <cerrno>

namespace {

unsigned long requests;
unsigned long accesses;
unsigned long asked;
bool refuse;
unsigned char read_value;

} // namespace

namespace velmo::count {

Counts counts()
{
    return Counts{requests, accesses, asked};
}

void reset()
{
    requests = 0;
    accesses = 0;
    asked = 0;
}

void set_refuse(bool on)
{
    refuse = on;
}

void set_read_value(unsigned char value)
{
    read_value = value;
}

} // namespace velmo::count

extern "C" {

int velmo_port_request(unsigned long, unsigned long, int)
{
    ++requests;
    return refuse ? EPERM : 0;
}

int velmo_port_has_rawio(void)
{
    ++asked;
    return 0;
}

unsigned char velmo_port_in(unsigned short)
{
    ++accesses;
    return read_value;
}

void velmo_port_out(unsigned short, unsigned char)
{
    ++accesses;
}

} // extern "C"
