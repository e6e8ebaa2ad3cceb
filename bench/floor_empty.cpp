// Floor: an empty C++ program that still loads the C++ runtime, as the tool
// does (linked with --no-as-needed so libstdc++ is not dropped).
int main()
{
    return 0;
}
