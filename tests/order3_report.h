// The complete standard output of a run for order 3, as the program must write
// it: shared by the tests of the renderer and of the installed program.
#ifndef KELDRAN_TESTS_ORDER3_REPORT_H
#define KELDRAN_TESTS_ORDER3_REPORT_H

namespace keldran_tests {

inline constexpr const char* order3_report =
    R"(KELDRAN: pseudorandom sequence generator, by Vantrel, 1994
Sequence length is : 7

Polynomial:
  x^3 + x^1 + 1

The sequence is :

1 1 1 0 0 1 0 

Echo location for Initial Magnetization (HTS) = -2.5
Echo location for Adjacent Transition Interference (NLTS) = 3.5
Echo location for 2nd Adjacent Transition Interference = -1.5
Echo location for Interaction Interference = 2.5


Polynomial:
  x^3 + x^2 + 1

The sequence is :

1 1 1 0 1 0 0 

Echo location for Initial Magnetization (HTS) = 2.5
Echo location for Adjacent Transition Interference (NLTS) = -2.5
Echo location for 2nd Adjacent Transition Interference = 2.5
Echo location for Interaction Interference = -1.5

)";

}  // namespace keldran_tests

#endif
