// One QApplication for every dialog test, made as the program makes it: with no arguments.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    static char name[] = "kestrival_dialog_tests";
    char *qtArgv[] = {name, nullptr};
    int qtArgc = 1;
    QApplication app(qtArgc, qtArgv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
