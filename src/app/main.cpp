// Entry point: binds the dialogue to the standard streams and the C heap.
#include "buffers.h"
#include "dialogue.h"
#include "platform.h"

#include <iostream>

int main()
{
    keldran::platform::prepare_order_input();
    const int status =
        keldran::run_dialogue(std::cin, std::cout, std::cerr, keldran::heap_buffers());
    keldran::platform::hand_back_unread_input();
    return status;
}
