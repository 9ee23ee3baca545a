// The tester program.
#include "tester/Program.h"

int main(int argc, char** argv) {
    return tester::RunQuorrin(argc, argv);
}
