{
  'variables': {
    # 1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
    'sanitize%': 0,
    # A folder that holds only Boost's headers, for a cross compiler that must
    # not search the host's /usr/include (its glibc headers are the host's).
    'boost_include_dir%': '',
    # 1 adds what only the benchmarks read (analyticsMemory) to the exports.
    'bench_exports%': 0,
  },
  'targets': [
    {
      'target_name': 'vantarel',
      'sources': [
        'src/vantarel.cc',
        'src/library_hold.cc',
        'src/clock.cc',
        'src/eventloop.cc',
        'src/gc.cc',
        'src/cpu_profile.cc',
        'src/loop_watchdog.cc',
        'src/heap.cc',
        'src/heap_sampling.cc',
        'src/pprof_profile.cc',
        'src/census.cc',
        'src/analytics.cc',
        'src/transaction_reader.cc',
        'src/analytics_collector.cc',
        'src/text_block.cc',
        'src/block_pool.cc',
        'src/transaction_record.cc',
        'src/flat_transaction.cc',
        # Keeps the binary loadable by the glibc and libstdc++ that the
        # official Node binaries need.
        'src/libstdcxx_compat.cc',
      ],
      'include_dirs': [
        '<!(node -e "require(\'nan\')")',
      ],
      # Boost's property tree throws, and the collector catches by type.
      # The language standard is the host's own (C++17 up to Node 22, C++20
      # from Node 24, whose engine headers require it); the sources are
      # written to both.
      'cflags_cc!': ['-fno-exceptions', '-fno-rtti'],
      'cflags_cc': [
        '-fexceptions',
        '-frtti',
        '-Wall',
        '-Wextra',
        # NAN casts between V8 callback types of different signatures.
        '-Wno-cast-function-type',
        # g++ gives statics of inline functions and templates the binding
        # STB_GNU_UNIQUE, and glibc never unloads a library that has one:
        # the module must go when the last worker that loaded it ends.
        '-fno-gnu-unique',
        # Only what other native code may use leaves the shared object; the
        # version script also hides what the standard library's headers
        # give default visibility.
        '-fvisibility=hidden',
        '-fvisibility-inlines-hidden',
      ],
      'ldflags': [
        '-Wl,--version-script=<(module_root_dir)/src/exports.map',
      ],
      'conditions': [
        ['boost_include_dir!=""', {
          'include_dirs': ['<(boost_include_dir)'],
        }],
        ['bench_exports==1', {
          'defines': ['VANTAREL_BENCH_EXPORTS'],
        }],
        ['sanitize==1', {
          'cflags_cc': [
            '-fsanitize=address,undefined',
            '-fno-sanitize-recover=undefined',
            '-fno-omit-frame-pointer',
            '-g',
          ],
          'ldflags': ['-fsanitize=address,undefined'],
        }],
      ],
    },
  ],
}
