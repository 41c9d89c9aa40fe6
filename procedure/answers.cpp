#include "procedure.h"

#include <stdio.h>

bool read_first_answer()
{
    wint_t key = getwchar();
    return key == 'Y' || key == 'y';
}

bool read_yes_no(bool at_end_of_input)
{
    for (;;) {
        wint_t key = getwchar();
        if (key == WEOF) {
            return at_end_of_input;
        }
        if (key == 'Y' || key == 'y') {
            return true;
        }
        if (key == 'N' || key == 'n') {
            return false;
        }
    }
}
