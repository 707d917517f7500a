/* The server's two lines, as the operator sees them: plain C, for the tests and the
 * benchmark's C floor too. */
#pragma once

#define VESK_START_LINE "VeskServer Start!"
#define VESK_CLOSED_LINE "VeskServer Closed!"
