/* Stand-in: the FreeBSD sysroot of the cross build lacks the kernel's vm/
   headers, which <sys/user.h> still includes for old programs. Nothing
   user-visible there (struct kinfo_proc) needs them. */
