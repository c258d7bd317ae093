// The native half of com.velmarworks.halvorn.Quenvar: each native method calls
// one function of libQuenvar, and the three status methods copy the printer's
// status record into the fields of a Java status object.
//
// The bridge keeps no port state; Java holds the port handle as a long. Its
// only state is the field-ID cache below, filled once per process from the
// first status object it writes.
#include <jni.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "StatusFieldTable.h"
#include "quenvar.h"

#define HALVORN_EXPORT extern "C" JNIEXPORT

namespace {

using halvorn::kEtbCounterSlot;
using halvorn::kFieldCount;
using halvorn::kFlagCount;
using halvorn::kPresenterStateSlot;
using halvorn::kRawLengthSlot;
using halvorn::kRawSlot;
using halvorn::kStatusFields;

// The field IDs of the one status class, looked up once per process.
struct VelmarPrinterStatusFieldCache {
    // Set, with release ordering, only after every other member is written;
    // a reader that sees it set may use the IDs without taking the lock.
    std::atomic<bool> filled;
    // A global reference: it keeps the class loaded, and with it the field
    // IDs valid, and lets later objects be checked against the class.
    jclass statusClass;
    jfieldID fieldIds[kFieldCount];
};

VelmarPrinterStatusFieldCache g_VelmarPrinterStatus_FID_Cache{};

// Serialises the fill: two threads whose first status calls meet must not
// both publish, and a fill that failed must stay retryable.
std::mutex g_fieldCacheFillLock;

// Throws a Java exception of the named class; a failure to find the class
// leaves the runtime's own NoClassDefFoundError pending instead.
void throw_java(JNIEnv* env, const char* className, const char* message) {
    jclass exceptionClass = env->FindClass(className);
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
        env->DeleteLocalRef(exceptionClass);
    }
}

void* as_handle(jlong portHandle) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(portHandle)); }

// Fills the cache from status's class unless it is already filled. If the
// class lacks one of the fields, or declares it with another type, the
// runtime's NoSuchFieldError stays pending and the cache stays unfilled, so a
// later call with a proper class can still fill it.
void cachePrinterStatusFields(JNIEnv* env, jobject status) {
    if (g_VelmarPrinterStatus_FID_Cache.filled.load(std::memory_order_acquire)) return;

    std::lock_guard<std::mutex> lock(g_fieldCacheFillLock);
    if (g_VelmarPrinterStatus_FID_Cache.filled.load(std::memory_order_relaxed)) return;

    jclass localClass = env->GetObjectClass(status);
    if (localClass == nullptr) return;

    jfieldID fieldIds[kFieldCount];
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        fieldIds[i] = env->GetFieldID(localClass, kStatusFields[i].name, kStatusFields[i].descriptor);
        if (fieldIds[i] == nullptr) {
            env->DeleteLocalRef(localClass);
            return;
        }
    }

    jclass globalClass = static_cast<jclass>(env->NewGlobalRef(localClass));
    env->DeleteLocalRef(localClass);
    if (globalClass == nullptr) return;

    g_VelmarPrinterStatus_FID_Cache.statusClass = globalClass;
    for (std::size_t i = 0; i < kFieldCount; ++i)
        g_VelmarPrinterStatus_FID_Cache.fieldIds[i] = fieldIds[i];
    g_VelmarPrinterStatus_FID_Cache.filled.store(true, std::memory_order_release);
}

// Copies *record into the Java object status. Everything that could stop the
// copy is checked before the first field is written, so the object is either
// written whole or not at all; in the second case a Java exception is pending.
void setPrinterStatusFields(JNIEnv* env, jobject status, VelmarPrinterStatus_2* record) {
    if (status == nullptr) {
        throw_java(env, "java/lang/NullPointerException", "status object is null");
        return;
    }
    if (!g_VelmarPrinterStatus_FID_Cache.filled.load(std::memory_order_acquire)) {
        cachePrinterStatusFields(env, status);
        if (!g_VelmarPrinterStatus_FID_Cache.filled.load(std::memory_order_acquire)) return;
    }
    const VelmarPrinterStatusFieldCache& cache = g_VelmarPrinterStatus_FID_Cache;

    // The field IDs belong to one class; used on an object of another class
    // they would write at the wrong places.
    if (!env->IsInstanceOf(status, cache.statusClass)) {
        throw_java(env, "java/lang/IllegalArgumentException",
                   "status objects must all be of the class of the first one written");
        return;
    }

    // The record holds at most 64 raw bytes; never read past it.
    const std::uint32_t rawLength =
        record->rawLength < sizeof record->raw ? record->rawLength : static_cast<std::uint32_t>(sizeof record->raw);

    jbyteArray raw = static_cast<jbyteArray>(env->GetObjectField(status, cache.fieldIds[kRawSlot]));
    if (raw == nullptr) {
        throw_java(env, "java/lang/NullPointerException", "status object's raw array is null");
        return;
    }
    if (static_cast<std::uint32_t>(env->GetArrayLength(raw)) < rawLength) {
        env->DeleteLocalRef(raw);
        throw_java(env, "java/lang/ArrayIndexOutOfBoundsException",
                   "status object's raw array is shorter than the printer's status");
        return;
    }

    for (std::size_t i = 0; i < kFlagCount; ++i) {
        const jboolean flag = static_cast<jboolean>((record->*quenvar::StatusFlags[i].member) & 0xFFu);
        env->SetBooleanField(status, cache.fieldIds[i], flag);
    }
    env->SetByteField(status, cache.fieldIds[kEtbCounterSlot], static_cast<jbyte>(record->etbCounter));
    env->SetByteField(status, cache.fieldIds[kPresenterStateSlot], static_cast<jbyte>(record->presenterState));
    env->SetIntField(status, cache.fieldIds[kRawLengthSlot], static_cast<jint>(rawLength));
    env->SetByteArrayRegion(raw, 0, static_cast<jsize>(rawLength), reinterpret_cast<const jbyte*>(record->raw));
    env->DeleteLocalRef(raw);
}

// Checks a (buf, offset, size, count) quadruple before anything is pinned:
// the library writes through these addresses, so a range outside the array
// would be memory corruption rather than a Java error.
bool check_transfer_arguments(JNIEnv* env, jbyteArray buf, jint offset, jint size, jintArray count) {
    if (buf == nullptr || count == nullptr) {
        throw_java(env, "java/lang/NullPointerException", buf == nullptr ? "buf is null" : "count is null");
        return false;
    }
    const jsize length = env->GetArrayLength(buf);
    if (offset < 0 || size < 0 || offset > length || size > length - offset) {
        throw_java(env, "java/lang/ArrayIndexOutOfBoundsException", "offset and size lie outside buf");
        return false;
    }
    if (env->GetArrayLength(count) < 1) {
        throw_java(env, "java/lang/ArrayIndexOutOfBoundsException", "count has no element");
        return false;
    }
    return true;
}

// Pins both arrays, runs the transfer, and releases them with mode 0 so the
// bytes and the count are copied back to Java.
template <class Transfer>
jint pinned_transfer(JNIEnv* env, jbyteArray buf, jint offset, jint size, jintArray count, Transfer transfer) {
    if (!check_transfer_arguments(env, buf, offset, size, count)) return 0;

    jint result = 0;
    jbyte* bytes = env->GetByteArrayElements(buf, nullptr);
    jint* counts = bytes != nullptr ? env->GetIntArrayElements(count, nullptr) : nullptr;
    if (bytes != nullptr && counts != nullptr) {
        static_assert(sizeof(jint) == sizeof(unsigned int), "count[0] doubles as the library's unsigned count");
        result = transfer(reinterpret_cast<unsigned char*>(bytes) + offset, static_cast<unsigned int>(size),
                          reinterpret_cast<unsigned int*>(counts));
    }
    if (bytes != nullptr) env->ReleaseByteArrayElements(buf, bytes, 0);
    if (counts != nullptr) env->ReleaseIntArrayElements(count, counts, 0);
    return result;
}

// The shared shape of the three status methods: the library fills a record of
// version 2, and only a result of exactly 1 reaches the Java object.
template <class StatusFunction>
jint status_method(JNIEnv* env, jlong portHandle, jobject status, StatusFunction function) {
    // Before the library runs: a job begin or end must not reach the printer
    // for a call that cannot hand the printer's answer back.
    if (status == nullptr) {
        throw_java(env, "java/lang/NullPointerException", "status object is null");
        return 0;
    }
    VelmarPrinterStatus_2 record;
    const jint result = function(as_handle(portHandle), &record, 2u);
    if (result == 1) setPrinterStatusFields(env, status, &record);
    return result;
}

}  // namespace

HALVORN_EXPORT jlong JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeOpenPort(JNIEnv* env, jclass, jstring portName,
                                                                                 jstring portSettings, jint timeout) {
    if (portName == nullptr || portSettings == nullptr) {
        throw_java(env, "java/lang/NullPointerException",
                   portName == nullptr ? "portName is null" : "portSettings is null");
        return 0;
    }

    void* handle = nullptr;
    const char* name = env->GetStringUTFChars(portName, nullptr);
    const char* settings = name != nullptr ? env->GetStringUTFChars(portSettings, nullptr) : nullptr;
    if (name != nullptr && settings != nullptr) handle = OpenPort(name, settings, static_cast<unsigned int>(timeout));
    if (name != nullptr) env->ReleaseStringUTFChars(portName, name);
    if (settings != nullptr) env->ReleaseStringUTFChars(portSettings, settings);
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(handle));
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeClosePort(JNIEnv*, jclass, jlong portHandle) {
    return ClosePort(as_handle(portHandle));
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeReadPort(JNIEnv* env, jclass, jlong portHandle,
                                                                                jbyteArray buf, jint offset, jint size,
                                                                                jintArray count) {
    return pinned_transfer(env, buf, offset, size, count, [&](unsigned char* at, unsigned int n, unsigned int* done) {
        return ReadPort(as_handle(portHandle), at, n, done);
    });
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeWritePort(JNIEnv* env, jclass, jlong portHandle,
                                                                                 jbyteArray buf, jint offset, jint size,
                                                                                 jintArray count) {
    return pinned_transfer(env, buf, offset, size, count, [&](unsigned char* at, unsigned int n, unsigned int* done) {
        return WritePort(as_handle(portHandle), at, n, done);
    });
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeGetParsedStatus(JNIEnv* env, jclass,
                                                                                       jlong portHandle,
                                                                                       jobject status) {
    return status_method(env, portHandle, status, GetParsedStatusEx);
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeBeginCheckedBlock(JNIEnv* env, jclass,
                                                                                         jlong portHandle,
                                                                                         jobject status) {
    return status_method(env, portHandle, status, BeginCheckedBlockEx);
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeEndCheckedBlock(JNIEnv* env, jclass,
                                                                                       jlong portHandle,
                                                                                       jobject status) {
    return status_method(env, portHandle, status, EndCheckedBlockEx);
}

HALVORN_EXPORT jint JNICALL Java_com_velmarworks_halvorn_Quenvar_nativeResetDevice(JNIEnv*, jclass, jlong portHandle) {
    return ResetDevice(as_handle(portHandle));
}
