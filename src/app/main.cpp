// The program entry: everything happens in the start-up sequence.
#include "app/Belcara.h"

int main(int argc, char **argv)
{
    return runBelcara(argc, argv);
}
