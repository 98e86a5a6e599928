# Sourced by the scripts that test an extension module built in a build
# directory of their own.
#
#   companion_package BUILD   puts together BUILD/python/quillmore: links to
#                             the companion package's files in
#                             python/quillmore and BUILD's quillmore._recording,
#                             so that with BUILD/python on PYTHONPATH
#                             `import quillmore` gets that build
companion_package() {
  package=$1/python/quillmore
  rm -rf "$package"
  mkdir -p "$package"
  for entry in "$PWD"/python/quillmore/*; do
    case $entry in
      *.so | */__pycache__) ;;
      *) ln -s "$entry" "$package/" ;;
    esac
  done
  ln -s "$PWD/$1"/recording_binding/_recording*.so "$package/"
}
