/* Machine-dependent JNI types and linkage for Windows targets. The cross build takes the
 * platform-independent jni.h from the build machine's JDK and this file in place of its
 * platform directory, so the Windows DLL needs no Windows JDK to build. The values follow the
 * JNI calling convention on Windows: native methods are __stdcall (the same as __cdecl on
 * x86_64), and jint is a long, which is 32 bits there on both architectures. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
