#include "cli/front_end.h"

int main(int argc, char** argv)
{
    return tarn::run_tarn(argc, argv);
}
