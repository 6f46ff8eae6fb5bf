// The smallest C++ program that writes with iostreams: the floor for startup
// time and peak memory that keldran is compared with.
#include <iostream>

int main()
{
    std::cout << "hello\n";
}
