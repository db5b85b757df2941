{
  'variables': {
    # 1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
    'sanitize%': 0,
  },
  'targets': [
    {
      'target_name': 'vantarel',
      'sources': [
        'src/vantarel.cc',
        'src/clock.cc',
        'src/eventloop.cc',
        'src/gc.cc',
        'src/cpu_profile.cc',
        'src/heap.cc',
        'src/census.cc',
        'src/analytics.cc',
        'src/analytics_collector.cc',
      ],
      'include_dirs': [
        '<!(node -e "require(\'nan\')")',
      ],
      # Boost's property tree throws, and the collector catches by type.
      'cflags_cc!': ['-fno-exceptions', '-fno-rtti', '-std=gnu++17'],
      'cflags_cc': [
        '-std=c++17',
        '-fexceptions',
        '-frtti',
        '-Wall',
        '-Wextra',
        # NAN casts between V8 callback types of different signatures.
        '-Wno-cast-function-type',
      ],
      'conditions': [
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
