// The rules the emulator's verifier checks: one entry per rule, with the id
// its findings carry (and the "VERIFIER:" lines show) and what it catches.
// Subsystems report, and tests look for, the entries of this list
// (emu::verifier::Rule::pool_leak), so a rule that does not exist does not
// compile.  The README's list of checks is this list.
#pragma once

// X(name, "id", "what it catches")
#define EMU_VERIFIER_RULES(X)                                                                                \
  /* ---- Interrupt levels and spin locks ---- */                                                            \
  X(irql_too_high, "irql-too-high", "a routine called above the IRQL it allows")                             \
  X(irql_changed, "irql-changed", "a driver routine returned at another IRQL than it was entered at")        \
  X(irql_not_raised, "irql-not-raised", "KeRaiseIrql to a lower IRQL")                                       \
  X(irql_not_lowered, "irql-not-lowered", "KeLowerIrql to a higher IRQL")                                    \
  X(irql_lowered_holding_spinlock, "irql-lowered-holding-spinlock",                                          \
    "IRQL lowered below DISPATCH_LEVEL while a spin lock is held")                                           \
  X(paged_code_at_raised_irql, "paged-code-at-raised-irql",                                                  \
    "pageable code (PAGED_CODE) run above APC_LEVEL")                                                        \
  X(spinlock_acquire_irql, "spinlock-acquire-irql", "a spin lock acquired at the wrong IRQL")                \
  X(spinlock_release_irql, "spinlock-release-irql", "a spin lock released at the wrong IRQL")                \
  X(spinlock_recursive_acquire, "spinlock-recursive-acquire",                                                \
    "a thread acquires a spin lock it already holds (a deadlock on a real machine)")                         \
  X(spinlock_not_held, "spinlock-not-held", "a spin lock released that nobody holds")                        \
  X(spinlock_released_by_other_thread, "spinlock-released-by-other-thread",                                  \
    "a spin lock released by a thread that does not hold it")                                                \
  X(spinlock_corrupt, "spinlock-corrupt", "a spin lock word that names no live thread")                      \
  X(spinlock_held_on_return, "spinlock-held-on-return", "a routine returned holding a spin lock")            \
  /* ---- Annotated driver routines (checked on entry) ---- */                                               \
  X(contract_irql, "contract-irql", "a routine entered at an IRQL its annotation excludes")                  \
  X(contract_lock_not_held, "contract-lock-not-held", "a routine entered without the lock it requires")      \
  X(contract_lock_held, "contract-lock-held", "a routine entered holding a lock it must not hold")           \
  /* ---- Dispatcher objects, waits, threads ---- */                                                         \
  X(wait_at_dispatch, "wait-at-dispatch", "a blocking wait at DISPATCH_LEVEL or above")                      \
  X(wait_on_invalid_object, "wait-on-invalid-object", "a wait on a null or non-dispatcher object")           \
  X(wait_invalid_count, "wait-invalid-count", "KeWaitForMultipleObjects with a bad object count")            \
  X(wait_blocks_missing, "wait-blocks-missing",                                                              \
    "KeWaitForMultipleObjects over THREAD_WAIT_OBJECTS objects without wait blocks")                         \
  X(invalid_object, "invalid-object", "a kernel routine given a null or wrong-type object")                  \
  X(object_not_initialized, "object-not-initialized",                                                        \
    "a wait on, or a signal of, a dispatcher object never initialised")                                      \
  X(release_wait_not_followed, "release-wait-not-followed",                                                  \
    "KeSetEvent, KeReleaseMutex or KeReleaseSemaphore with Wait TRUE not followed at once by a wait")        \
  X(invalid_parameter, "invalid-parameter", "a kernel routine given an invalid parameter")                   \
  X(reinitialize_waited_object, "reinitialize-waited-object",                                                \
    "a dispatcher object initialised while waited on")                                                       \
  X(object_freed_while_waited, "object-freed-while-waited", "memory freed that holds a waited-on object")    \
  X(mutex_not_owned, "mutex-not-owned", "a mutex released by a thread that does not own it")                 \
  X(semaphore_limit_exceeded, "semaphore-limit-exceeded", "a semaphore released above its limit")            \
  X(terminate_non_system_thread, "terminate-non-system-thread",                                              \
    "PsTerminateSystemThread from a thread PsCreateSystemThread did not create")                             \
  X(thread_exit_at_raised_irql, "thread-exit-at-raised-irql", "a system thread ended above PASSIVE_LEVEL")   \
  X(thread_exit_holding_spinlock, "thread-exit-holding-spinlock",                                            \
    "a system thread ended holding a spin lock")                                                             \
  X(thread_exit_holding_mutex, "thread-exit-holding-mutex", "a system thread ended owning a mutex")          \
  X(mutex_held_on_return, "mutex-held-on-return",                                                            \
    "a dispatch routine returned to its requester owning a mutex it took (APC_INDEX_MISMATCH)")              \
  X(thread_still_running, "thread-still-running", "a system thread still running at the end of a test")      \
  X(thread_outlives_object, "thread-outlives-object",                                                        \
    "memory freed that a running system thread has as its start context")                                    \
  /* ---- Timers and DPCs ---- */                                                                            \
  X(dpc_without_routine, "dpc-without-routine", "a DPC queued with no routine")                              \
  X(reinitialize_queued_dpc, "reinitialize-queued-dpc", "a DPC initialised again while queued")              \
  X(reinitialize_queued_timer, "reinitialize-queued-timer", "a timer initialised again while set")           \
  X(timer_still_queued, "timer-still-queued", "a timer still set at the end of a test")                      \
  X(dpc_still_queued, "dpc-still-queued", "a DPC still queued at the end of a test")                         \
  X(timer_freed_while_queued, "timer-freed-while-queued", "memory freed that holds a set timer")             \
  X(dpc_freed_while_queued, "dpc-freed-while-queued", "memory freed that holds a queued DPC")                \
  X(dpc_freed_while_running, "dpc-freed-while-running", "memory freed that holds a running DPC")             \
  /* ---- Pool ---- */                                                                                       \
  X(pool_irql, "pool-irql", "pool allocated or freed above DISPATCH_LEVEL")                                  \
  X(paged_pool_at_dispatch, "paged-pool-at-dispatch", "paged pool allocated or freed at DISPATCH_LEVEL")     \
  X(pool_free_null, "pool-free-null", "ExFreePool of a null pointer")                                        \
  X(pool_double_free, "pool-double-free", "a pool block freed twice")                                        \
  X(pool_foreign_pointer, "pool-foreign-pointer", "ExFreePool of an address that is no pool block")          \
  X(pool_wrong_tag, "pool-wrong-tag", "a pool block freed with another tag than it was allocated with")      \
  X(pool_corruption, "pool-corruption", "bytes written before or after a pool block")                        \
  X(pool_leak, "pool-leak", "a pool block still allocated when a test or a driver ends")                     \
  /* ---- Objects and handles ---- */                                                                        \
  X(ob_unknown_object, "ob-unknown-object",                                                                  \
    "a reference taken or dropped on an object the kernel does not know")                                    \
  X(ob_reference_underflow, "ob-reference-underflow", "an object dereferenced below zero")                   \
  X(object_reference_leak, "object-reference-leak", "an object reference not dropped at the end of a test")  \
  X(invalid_handle, "invalid-handle", "a handle closed that is not open")                                    \
  X(handle_leak, "handle-leak", "kernel handles never closed")                                               \
  X(handle_left_open, "handle-left-open", "a user handle to a device not closed at the end of a test")       \
  /* ---- Devices and drivers ---- */                                                                        \
  X(create_device_unknown_driver, "create-device-unknown-driver",                                            \
    "IoCreateDevice with an unknown driver object")                                                          \
  X(delete_unknown_device, "delete-unknown-device", "IoDeleteDevice of a device object that never existed")  \
  X(device_deleted_twice, "device-deleted-twice", "IoDeleteDevice of a device object already deleted")       \
  X(device_deleted_with_attached_device, "device-deleted-with-attached-device",                              \
    "a device deleted while another is attached to it")                                                      \
  X(device_deleted_while_attached, "device-deleted-while-attached",                                          \
    "a device deleted without IoDetachDevice")                                                               \
  X(device_deleted_with_work_item, "device-deleted-with-work-item",                                          \
    "a device deleted while its work item is queued")                                                        \
  X(device_deleted_wmi_registered, "device-deleted-wmi-registered",                                          \
    "a device deleted while registered with WMI")                                                            \
  X(device_left_at_reset, "device-left-at-reset", "a device object never deleted by the end of a test")      \
  X(device_leaked_at_unload, "device-leaked-at-unload",                                                      \
    "a device left behind by a failed DriverEntry or an unload")                                             \
  X(link_leaked_at_unload, "link-leaked-at-unload", "a symbolic link left behind by an unloaded driver")     \
  X(attach_unknown_device, "attach-unknown-device",                                                          \
    "IoAttachDeviceToDeviceStack with a device that does not exist")                                         \
  X(attach_twice, "attach-twice", "a device attached to a second stack")                                     \
  X(detach_nothing_attached, "detach-nothing-attached", "IoDetachDevice of a device with nothing attached")  \
  X(invalidate_non_pdo, "invalidate-non-pdo", "IoInvalidateDeviceState with a device that is no PDO")        \
  /* ---- Request packets ---- */                                                                            \
  X(pending_not_marked, "pending-not-marked", "STATUS_PENDING returned without IoMarkIrpPending")            \
  X(irp_completed_twice, "irp-completed-twice", "a request completed twice")                                 \
  X(irp_completed_past_top, "irp-completed-past-top",                                                        \
    "a driver-allocated packet completed past its top stack location")                                       \
  X(irp_completed_with_cancel_routine, "irp-completed-with-cancel-routine",                                  \
    "a request completed with its cancel routine still set")                                                 \
  X(irp_completed_pending, "irp-completed-pending", "a request completed with STATUS_PENDING")               \
  X(irp_completed_at_rest, "irp-completed-at-rest", "a packet completed that was never passed to a driver")  \
  X(complete_irql, "complete-irql", "IoCompleteRequest above DISPATCH_LEVEL")                                \
  X(cancel_irql, "cancel-irql", "IoCancelIrp above DISPATCH_LEVEL")                                          \
  X(call_driver_irql, "call-driver-irql", "IoCallDriver above DISPATCH_LEVEL")                               \
  X(call_unknown_device, "call-unknown-device", "IoCallDriver to a device object that does not exist")       \
  X(no_more_stack_locations, "no-more-stack-locations", "IoCallDriver with no stack location left")          \
  X(invalid_major_function, "invalid-major-function", "a request with a major function out of range")        \
  X(stack_location_not_set, "stack-location-not-set",                                                        \
    "a packet sent down with the next stack location never set up (a forward without IoCopy or IoSkip)")     \
  X(information_exceeds_buffer, "information-exceeds-buffer",                                                \
    "a request completed with Information larger than its buffer")                                           \
  X(status_returned_without_completion, "status-returned-without-completion",                                \
    "a dispatch routine returned a final status before completing the request")                              \
  X(status_mismatch, "status-mismatch", "a dispatch routine returned another status than it completed with") \
  X(request_not_completed, "request-not-completed", "a request the system sent not completed in time")       \
  X(system_request_irql, "system-request-irql", "a system request sent above PASSIVE_LEVEL")                 \
  X(irp_stack_size, "irp-stack-size", "a packet allocated with a bad number of stack locations")             \
  X(irp_too_small, "irp-too-small", "IoInitializeIrp with a packet too small for its stack locations")       \
  X(irp_unknown, "irp-unknown", "a packet the I/O manager does not know")                                    \
  X(irp_reused_while_owned, "irp-reused-while-owned", "IoReuseIrp of a packet freed or still held")          \
  X(irp_freed_twice, "irp-freed-twice", "IoFreeIrp of a packet already freed")                               \
  X(irp_freed_by_driver, "irp-freed-by-driver", "IoFreeIrp of a packet the I/O manager owns")                \
  X(irp_freed_while_owned, "irp-freed-while-owned", "IoFreeIrp of a packet a driver still holds")            \
  X(irp_freed_with_cancel_routine, "irp-freed-with-cancel-routine", "IoFreeIrp with a cancel routine set")   \
  X(irp_used_after_completion, "irp-used-after-completion", "a packet sent again after its completion")      \
  X(irp_outstanding_at_reset, "irp-outstanding-at-reset",                                                    \
    "a request packet still outstanding at the end of a test")                                               \
  /* ---- MDLs ---- */                                                                                       \
  X(mdl_irql, "mdl-irql", "an MDL routine called above the IRQL it allows")                                  \
  X(mdl_unknown, "mdl-unknown", "IoFreeMdl of an address that is no live MDL")                               \
  X(mdl_freed_locked, "mdl-freed-locked", "an MDL freed with its pages still locked")                        \
  X(mdl_state, "mdl-state", "MmBuildMdlForNonPagedPool on an MDL already locked, mapped or built")           \
  X(mdl_locked_twice, "mdl-locked-twice", "MmProbeAndLockPages on an MDL already locked or built")           \
  X(mdl_unlock_unlocked, "mdl-unlock-unlocked", "MmUnlockPages on an MDL whose pages are not locked")        \
  X(mdl_user_mapping, "mdl-user-mapping", "an MDL mapped into user space (not emulated)")                    \
  X(mdl_map_unlocked, "mdl-map-unlocked", "an MDL mapped whose pages are not locked")                        \
  X(mdl_unmap, "mdl-unmap", "MmUnmapLockedPages of an address the MDL does not map")                         \
  X(mdl_partial_range, "mdl-partial-range", "IoBuildPartialMdl outside the source MDL")                      \
  /* ---- Remove locks and work items ---- */                                                                \
  X(remove_lock_size, "remove-lock-size", "a remove lock routine called with the wrong lock size")           \
  X(remove_lock_not_initialized, "remove-lock-not-initialized",                                              \
    "a remove lock used before it is initialised")                                                           \
  X(remove_lock_acquired_after_remove, "remove-lock-acquired-after-remove",                                  \
    "a remove lock acquired after IoReleaseRemoveLockAndWait returned")                                      \
  X(remove_lock_over_released, "remove-lock-over-released",                                                  \
    "a remove lock released more often than acquired")                                                       \
  X(remove_lock_waited_twice, "remove-lock-waited-twice", "IoReleaseRemoveLockAndWait called twice")         \
  X(work_item_unknown_device, "work-item-unknown-device",                                                    \
    "IoAllocateWorkItem for a device that does not exist")                                                   \
  X(work_item_unknown, "work-item-unknown", "a work item used that was never allocated or is freed")         \
  X(work_item_queued_twice, "work-item-queued-twice", "a work item queued while already queued")             \
  X(work_item_freed_while_queued, "work-item-freed-while-queued", "a work item freed while queued")          \
  X(work_item_leaked, "work-item-leaked", "a work item not freed when its device is deleted")                \
  X(work_item_pending, "work-item-pending", "a work item queued or running at the end of a test")            \
  /* ---- Plug and Play, power, WMI ---- */                                                                  \
  X(no_add_device, "no-add-device", "a driver with no AddDevice routine")                                    \
  X(device_still_initializing, "device-still-initializing", "AddDevice left DO_DEVICE_INITIALIZING set")     \
  X(create_pdo_failed, "create-pdo-failed", "a bus could not create its physical device object")             \
  X(fdo_not_detached, "fdo-not-detached", "a device still attached to the PDO after IRP_MN_REMOVE_DEVICE")   \
  X(fdo_not_deleted, "fdo-not-deleted", "a device still existing after IRP_MN_REMOVE_DEVICE")                \
  X(device_node_destroyed_with_stack, "device-node-destroyed-with-stack",                                    \
    "a bus dropped its device while a stack is attached to it")                                              \
  X(po_call_driver_not_power, "po-call-driver-not-power",                                                    \
    "PoCallDriver with a request that is not IRP_MJ_POWER")                                                  \
  X(start_next_power_not_power, "start-next-power-not-power",                                                \
    "PoStartNextPowerIrp with a request that is not IRP_MJ_POWER")                                           \
  X(power_unknown_device, "power-unknown-device", "PoSetPowerState for a device that does not exist")        \
  X(wmi_unknown_device, "wmi-unknown-device", "IoWMIRegistrationControl for a device that does not exist")   \
  X(wmi_complete_unknown, "wmi-complete-unknown", "WmiCompleteRequest for a request WMI did not hand out")   \
  /* ---- USB bus ---- */                                                                                    \
  X(usb_urb_in_flight, "usb-urb-in-flight", "a URB submitted again while the bus still holds it")            \
  X(usb_cancel_unknown_irp, "usb-cancel-unknown-irp",                                                        \
    "the bus's cancel routine ran for a packet it does not hold")                                            \
  /* ---- Assertions ---- */                                                                                 \
  X(assertion_failed, "assertion-failed", "an ASSERT failed")
