#pragma once
int run_converter(int argc, char** argv);
