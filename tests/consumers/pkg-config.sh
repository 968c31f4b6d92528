# Shared: the run path lets the programs find libvuvidur.so.1 where it was installed.
libdir=$(pkg-config --variable=libdir vuvidur)
cc  app.c   -o app_c   $(pkg-config --cflags --libs vuvidur) -Wl,-rpath,"$libdir"
c++ app.cpp -o app_cpp $(pkg-config --cflags --libs vuvidur) -Wl,-rpath,"$libdir"
# Static (Vuvidur built with -DVESK_STATIC=ON): --static adds what the archive needs.
cc  app.c   -o app_static -static $(pkg-config --cflags --libs --static vuvidur)
