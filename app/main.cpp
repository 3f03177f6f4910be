#include "app/program.h"
#include "app/program_arguments.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The toolkit takes its own options (-platform, -style ...) out of argv first.
    QApplication application(argc, argv);
    return run_program(program_arguments(argc, argv));
}
