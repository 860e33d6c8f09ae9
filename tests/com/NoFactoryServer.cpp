// A library that loads but is no in-process server: it exports no DllGetClassObject.
extern "C" int OVComTestNotAServer()
{
    return 42;
}
