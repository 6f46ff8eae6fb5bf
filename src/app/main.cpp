// Entry point: binds the dialogue to the standard streams and the C heap.
#include "buffers.h"
#include "dialogue.h"
#include "platform.h"

#include <iostream>
#include <istream>
#include <memory>
#include <streambuf>

int main()
{
    const std::unique_ptr<std::streambuf> own_buffer = keldran::platform::prepare_order_input();
    std::istream in(own_buffer ? own_buffer.get() : std::cin.rdbuf());
    const int status = keldran::run_dialogue(in, std::cout, std::cerr, keldran::heap_buffers());
    keldran::platform::hand_back_unread_input();
    return status;
}
