/* A plain C cash register: built against an installed driver by the CI steps. */
#include <stdio.h>
#include <tarqdriver.h>
int main(void) {
    int r = trqNorAdmin(3, 0, 0);
    printf("till: %d\n", r);
    return r == TRQ_NOT_AVAILABLE && trqLog() == TRQ_NOT_AVAILABLE ? 0 : 1;
}
